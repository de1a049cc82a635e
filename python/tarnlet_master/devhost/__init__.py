"""Development host: plays the Business Layer's part for demos, the console and tests.

``DevHost`` serves "/ws/kernel/" + workbook id on 127.0.0.1, starts kernel
processes and answers their requests from an ``InMemoryWorkbook``;
``KernelSession`` is one kernel as the host sees it.
"""

from .host import DevHost
from .session import Collector, KernelGone, KernelSession, Reply
from .workbook import InMemoryWorkbook

__all__ = ["Collector", "DevHost", "InMemoryWorkbook", "KernelGone", "KernelSession", "Reply"]
