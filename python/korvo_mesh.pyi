"""Python module `korvo_mesh`."""

from typing import Final, final

__version__: Final[str]
__all__ = ["KorvoMesh", "__version__"]

@final
class KorvoMesh:
    """The runtime mesh for a Korvo application."""

    def __new__(cls, app_name: str, plan_json: str = "") -> KorvoMesh: ...
    @property
    def app_name(self) -> str:
        """Application name."""
    def plan_json(self) -> str:
        """Return the solved plan as a JSON string."""
    def register_agent(
        self, agent_type: str, agent_id: str, instance: int = 0, metadata_json: str | None = None
    ) -> str:
        """Register a new agent instance."""
    def update_agent_status(self, agent_id: str, status: str) -> None:
        """Update the status of a registered agent."""
    def deregister_agent(self, agent_id: str) -> None:
        """Deregister an agent.  No-op if the ID does not exist."""
    def get_agent(self, agent_id: str) -> str | None:
        """Look up an agent by ID."""
    def list_agents(self, agent_type: str | None = None, status: str | None = None) -> str:
        """List agents, optionally filtered."""
    def route_agent_call(self, agent_type: str, agent_id: str, method: str, args_json: str = "{}") -> str:
        """Route a call to an agent and return routing metadata as JSON."""
    def state_get(self, key: str) -> str | None:
        """Get a value from the shared state store."""
    def state_set(self, key: str, value_json: str) -> None:
        """Set a value in the shared state store."""
    def state_delete(self, key: str) -> None:
        """Delete a key from the state store.  No-op if the key does not exist."""
    def state_exists(self, key: str) -> bool:
        """Check whether a key exists in the state store."""
    def state_keys(self, prefix: str = "") -> list[str]:
        """Return all keys that start with `prefix` (sorted)."""
    def publish(self, topic: str, payload_json: str) -> int:
        """Publish a message to a topic."""
    def start_migration(self, variable_name: str, source_backend: str, target_backend: str) -> str:
        """Start a zero-downtime migration for a storage variable."""
    def advance_migration(self, variable_name: str, discrepancy_count: int = 0, keys_migrated: int = 0) -> str:
        """Advance a migration to its next stage."""
    def rollback_migration(self, variable_name: str) -> str:
        """Roll back a migration by one stage."""
    def get_migration(self, variable_name: str) -> str | None:
        """Get the current migration state for a variable."""
    def list_migrations(self) -> str:
        """List all migrations (active and completed)."""
    def health_snapshot(self) -> str:
        """Return a JSON health snapshot of the entire mesh."""
