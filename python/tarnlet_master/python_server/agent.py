"""The kernel's agent: the environment as one object.

The kernel builds one ``Agent(tarnlet.excel, tarnlet.context)`` and keeps it
as its attribute ``agent``, so that assistant features have a single handle on
the workbook model and the run context.  It holds no threads and opens no
connections.
"""

from __future__ import annotations

from typing import Any


class Agent:
    def __init__(self, excel: Any, context: Any):
        self.excel = excel
        self.context = context

    def describe(self) -> dict:
        """What the agent can see of its environment, for status displays."""
        ctx = self.context
        return {
            "workbook_id": getattr(ctx, "workbook_id", None),
            "platform": getattr(ctx, "platform", None),
            "connected": bool(getattr(ctx, "connected", False)),
        }

    def __repr__(self) -> str:
        return f"<Agent {self.describe()}>"
