"""Frames between the development host and a kernel.

The kernel splits any message whose JSON text is longer than CHUNK_SIZE
characters into "chunk" messages and may wrap several messages into one
"batch".  The host speaks the same way: it splits its own large messages
identically, joins the kernel's chunks and unwraps its batches.
"""

from __future__ import annotations

import json
import logging
import re
import uuid
from typing import Any, Dict, Iterator, List, Optional

CHUNK_SIZE = 65536
CHUNK_HEADER_TYPE = "chunk"

logger = logging.getLogger(__name__)


_SURROGATE = re.compile("[\ud800-\udfff]")


def encode(message: Any) -> str:
    """Compact JSON with non-ASCII characters as themselves (the kernel's orjson form).

    A lone surrogate cannot travel as UTF-8 text: a message holding one is
    written with escapes ("\\ud800") instead, which JSON readers decode to
    the same string.
    """
    raw = json.dumps(message, ensure_ascii=False, separators=(",", ":"))
    if _SURROGATE.search(raw):
        raw = json.dumps(message, ensure_ascii=True, separators=(",", ":"))
    return raw


def frames_for(message: dict, chunk_size: int = CHUNK_SIZE) -> List[str]:
    """The text frames that carry ``message``: itself, or its chunks in index order."""
    raw = encode(message)
    if len(raw) <= chunk_size:
        return [raw]
    return chunk_frames(raw, message.get("type", "unknown"), message.get("request_id", "N/A"), chunk_size)


def chunk_frames(raw: str, message_type: Any, request_id: Any, chunk_size: int = CHUNK_SIZE) -> List[str]:
    chunk_id = str(uuid.uuid4())
    total = (len(raw) + chunk_size - 1) // chunk_size
    frames = []
    for index in range(total):
        start = index * chunk_size
        frames.append(encode({
            "type": CHUNK_HEADER_TYPE,
            "chunk_id": chunk_id,
            "chunk_index": index,
            "total_chunks": total,
            "data": raw[start:start + chunk_size],
            "original_type": message_type,
            "request_id": request_id,
        }))
    return frames


class ChunkJoiner:
    """Reassembles chunked messages; chunks may arrive in any order and interleaved."""

    def __init__(self) -> None:
        self._buffers: Dict[str, dict] = {}

    @property
    def pending(self) -> int:
        """Number of messages of which some chunks are still missing."""
        return len(self._buffers)

    def add(self, chunk: dict) -> Optional[dict]:
        """Take one chunk; returns the whole message once its last piece arrived."""
        chunk_id = chunk.get("chunk_id")
        index = chunk.get("chunk_index")
        total = chunk.get("total_chunks")
        data = chunk.get("data", "")
        if not isinstance(chunk_id, str) or type(index) is not int or type(total) is not int:
            logger.warning("Dropping malformed chunk: %.200r", chunk)
            return None
        buffer = self._buffers.setdefault(chunk_id, {"chunks": [None] * max(total, 0), "received": 0})
        pieces = buffer["chunks"]
        if not 0 <= index < len(pieces) or len(pieces) != total or not isinstance(data, str):
            logger.warning("Dropping chunk %s of %s for chunk_id %s", index, total, chunk_id)
            return None
        if pieces[index] is None:
            pieces[index] = data
            buffer["received"] += 1
        if buffer["received"] < total:
            return None
        del self._buffers[chunk_id]
        try:
            message = json.loads("".join(pieces))
        except json.JSONDecodeError as error:
            logger.warning("Reassembled message is not JSON (chunk_id %s): %s", chunk_id, error)
            return None
        if not isinstance(message, dict):
            logger.warning("Reassembled message is not an object (chunk_id %s)", chunk_id)
            return None
        return message


def unwrap(message: dict) -> Iterator[dict]:
    """The messages carried by ``message``: the batched ones in order, else itself."""
    if message.get("type") == "batch" and isinstance(message.get("messages"), list):
        for inner in message["messages"]:
            if isinstance(inner, dict):
                yield from unwrap(inner)
    else:
        yield message


def describe(message: Any, width: int = 160) -> str:
    """One readable line for a message: its type, then its other fields, shortened."""
    if not isinstance(message, dict):
        return _shorten(repr(message), width)
    parts = [str(message.get("type", "?"))]
    for key, value in message.items():
        if key == "type":
            continue
        if isinstance(value, str) and len(value) > 60:
            shown = repr(value[:57] + "...") + f" ({len(value)} chars)"
        else:
            shown = _shorten(encode(value) if not isinstance(value, str) else repr(value), 80)
        parts.append(f"{key}={shown}")
    return _shorten(" ".join(parts), width)


def _shorten(text: str, width: int) -> str:
    return text if len(text) <= width else text[: width - 3] + "..."
