"""The shop's storage backends: carts kept as key -> JSON text, in SQLite or in Redis.

Both stores offer the same small interface, which is all the migration needs:

    get(key) -> str | None            put(key, value)
    get_many(keys) -> [str | None]    put_many(pairs)            delete_many(keys)
    key_batches(size) -> iterator of key lists (every key present when it started)
    count() -> int                    close()

`PrivateRedis` runs a redis-server of the demo's own: a Unix socket in a temporary folder,
no persistence, stopped when the demo ends however it ends.
"""
import contextlib
import os
import shutil
import signal
import sqlite3
import subprocess
import tempfile
import threading
import time


class SqliteStore:
    """One table in a SQLite file (WAL mode), one connection per thread."""

    name = "sqlite"

    def __init__(self, path, table="carts"):
        self.path = str(path)
        self.table = table
        self._local = threading.local()
        self._connections = []
        self._connections_lock = threading.Lock()
        self._db().execute(f"CREATE TABLE IF NOT EXISTS {table} (key TEXT PRIMARY KEY, value TEXT NOT NULL) "
                           "WITHOUT ROWID")

    def _db(self):
        db = getattr(self._local, "db", None)
        if db is None:
            # Autocommit: each statement is its own transaction; `timeout` waits for the writer lock.
            # Only the thread that opened a connection uses it; close() runs on another one.
            db = sqlite3.connect(self.path, timeout=30, isolation_level=None, check_same_thread=False)
            db.execute("PRAGMA journal_mode=WAL")
            db.execute("PRAGMA synchronous=NORMAL")
            self._local.db = db
            with self._connections_lock:
                self._connections.append(db)
        return db

    def get(self, key):
        row = self._db().execute(f"SELECT value FROM {self.table} WHERE key = ?", (key,)).fetchone()
        return None if row is None else row[0]

    def put(self, key, value):
        self._db().execute(f"INSERT INTO {self.table} (key, value) VALUES (?, ?) "
                           "ON CONFLICT (key) DO UPDATE SET value = excluded.value", (key, value))

    def get_many(self, keys):
        if not keys:
            return []
        marks = ",".join("?" * len(keys))
        found = dict(self._db().execute(f"SELECT key, value FROM {self.table} WHERE key IN ({marks})", keys))
        return [found.get(key) for key in keys]

    def put_many(self, pairs):
        db = self._db()
        db.execute("BEGIN IMMEDIATE")
        try:
            db.executemany(f"INSERT INTO {self.table} (key, value) VALUES (?, ?) "
                           "ON CONFLICT (key) DO UPDATE SET value = excluded.value", pairs)
        except BaseException:
            db.execute("ROLLBACK")
            raise
        db.execute("COMMIT")

    def delete_many(self, keys):
        if keys:
            self._db().execute(f"DELETE FROM {self.table} WHERE key IN ({','.join('?' * len(keys))})", keys)

    def key_batches(self, size):
        last = ""
        while True:
            keys = [row[0] for row in self._db().execute(
                f"SELECT key FROM {self.table} WHERE key > ? ORDER BY key LIMIT ?", (last, size))]
            if not keys:
                return
            yield keys
            last = keys[-1]

    def count(self):
        return self._db().execute(f"SELECT count(*) FROM {self.table}").fetchone()[0]

    def close(self):
        with self._connections_lock:
            for db in self._connections:
                db.close()
            self._connections.clear()
        self._local = threading.local()


class RedisStore:
    """One Redis hash; the redis-py client is shared by all threads (it keeps a connection pool)."""

    name = "redis"

    def __init__(self, client, hash_name):
        self.client = client
        self.hash_name = hash_name

    def get(self, key):
        return self.client.hget(self.hash_name, key)

    def put(self, key, value):
        self.client.hset(self.hash_name, key, value)

    def get_many(self, keys):
        return self.client.hmget(self.hash_name, keys) if keys else []

    def put_many(self, pairs):
        if pairs:
            self.client.hset(self.hash_name, mapping=dict(pairs))

    def delete_many(self, keys):
        if keys:
            self.client.hdel(self.hash_name, *keys)

    def key_batches(self, size):
        batch = []
        for key, _ in self.client.hscan_iter(self.hash_name, count=size):
            batch.append(key)
            if len(batch) == size:
                yield batch
                batch = []
        if batch:
            yield batch

    def count(self):
        return self.client.hlen(self.hash_name)

    def drop(self):
        """Removes the hash: the demo leaves a Redis it was pointed at as it found it."""
        self.client.delete(self.hash_name)

    def close(self):
        self.client.close()


def find_redis_server(program="redis-server"):
    """The redis-server program to run, or None when this machine has none."""
    return shutil.which(program)


class PrivateRedis:
    """A redis-server on a Unix socket in a temporary folder, persistence off."""

    def __init__(self, program, startup_seconds=20):
        self.program = program
        self.startup_seconds = startup_seconds
        self.folder = None
        self.process = None

    @property
    def socket(self):
        return os.path.join(self.folder, "redis.sock")

    @property
    def url(self):
        return f"unix://{self.socket}"

    def start(self):
        import redis

        self.folder = tempfile.mkdtemp(prefix="korvo-redis-")
        log = os.path.join(self.folder, "redis.log")
        args = [self.program, "--port", "0", "--unixsocket", self.socket, "--unixsocketperm", "700",
                "--save", "", "--appendonly", "no", "--dir", self.folder, "--logfile", log,
                "--daemonize", "no"]
        # Its own session: a Ctrl-C at the terminal reaches the demo, which stops the server itself.
        self.process = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.STDOUT, start_new_session=True)
        deadline = time.monotonic() + self.startup_seconds
        client = redis.Redis(unix_socket_path=self.socket)
        try:
            while True:
                if self.process.poll() is not None:
                    raise RuntimeError(f"redis-server exited with status {self.process.returncode}: "
                                       + self._log_tail(log))
                with contextlib.suppress(redis.ConnectionError, FileNotFoundError):
                    if os.path.exists(self.socket) and client.ping():
                        return self
                if time.monotonic() > deadline:
                    raise RuntimeError(f"redis-server did not answer within {self.startup_seconds} s: "
                                       + self._log_tail(log))
                time.sleep(0.02)
        except BaseException:
            self.stop()
            raise
        finally:
            client.close()

    @staticmethod
    def _log_tail(log):
        with contextlib.suppress(OSError), open(log, encoding="utf-8", errors="replace") as f:
            return f.read()[-2000:].strip() or "(empty log)"
        return "(no log)"

    def stop(self):
        """Ends the server and removes its folder; safe to call more than once."""
        if self.process is not None and self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        if self.folder is not None:
            shutil.rmtree(self.folder, ignore_errors=True)
            self.folder = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
