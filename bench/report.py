"""What the benchmark reports share: the median of a run's rounds and its Markdown tables."""
import statistics


def med(values):
    return statistics.median(values)


def table(header, rows):
    lines = ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|"]
    lines += ["| " + " | ".join(str(cell) for cell in row) + " |" for row in rows]
    return "\n".join(lines)
