"""A stand-in kernel process that speaks the interrupt protocol, for testing the console's side of it.

Started by the development host in place of a kernel (the console's --python points at a wrapper
that runs this file with the kernel's arguments: -c LAUNCHER workbook_id port connection_args). It
connects like a kernel and answers:

* "execution_request" with "while True" in its code, "custom_function_call" of "spin", and
  "execute_streaming_function" of "busy": run until an "interrupt_request" for their request_id,
  which is answered at once with "interrupted" true, then the request ends with its KeyboardInterrupt
  error. The stream ignores "cancel_streaming_function", as a generator busy between two values does.
* "execution_request" with "blocked" in its code: the same, but it ends 2 s after the interrupt, as
  code inside a long C call does.
* "execution_request" with "deaf" in its code: never ends, and an interrupt_request for it is
  answered with "interrupted" false.
* any other "execution_request": an "execution_result" without a value.

Every message it receives is appended, as one JSON line, to the file named by PEER_LOG.
"""

import asyncio
import json
import os
import sys

import websockets

TRACEBACK = 'Traceback (most recent call last):\n  File "<string>", line 2, in <module>\nKeyboardInterrupt\n'


async def serve(workbook_id, port):
    log = open(os.environ["PEER_LOG"], "a", encoding="utf-8")
    running = {}

    async with websockets.connect(f"ws://127.0.0.1:{port}/ws/kernel/{workbook_id}", max_size=None) as ws:
        async def send(message):
            await ws.send(json.dumps(message))

        async def until_interrupted(request_id, stdout):
            running[request_id] = asyncio.Event()
            await send({"type": "stdout", "content": stdout, "request_id": request_id, "workbook_id": workbook_id,
                        "source": "ide"})
            await running[request_id].wait()
            del running[request_id]

        async def spin_code(request_id, delay):
            await until_interrupted(request_id, "spinning\n")
            await asyncio.sleep(delay)
            await send({"type": "execution_error", "success": False,
                        "error": {"type": "KeyboardInterrupt", "message": "", "traceback": TRACEBACK},
                        "request_id": request_id, "function_name": None, "workbook_id": workbook_id,
                        "source": "ide"})

        async def spin_function(request_id):
            await until_interrupted(request_id, "calling\n")
            await send({"type": "function_execution_result", "request_id": request_id, "status": "error",
                        "error": "KeyboardInterrupt", "workbook_id": workbook_id})

        async def busy_stream(request_id):
            await send({"type": "streaming_function_result", "request_id": request_id, "result": 1, "done": False,
                        "workbook_id": workbook_id})
            await until_interrupted(request_id, "")
            await send({"type": "streaming_function_result", "request_id": request_id, "error": "KeyboardInterrupt",
                        "done": True, "workbook_id": workbook_id})

        tasks = set()

        def start(work):
            task = asyncio.get_running_loop().create_task(work)
            tasks.add(task)
            task.add_done_callback(tasks.discard)

        async for raw in ws:
            message = json.loads(raw)
            log.write(json.dumps(message) + "\n")
            log.flush()
            kind, request_id = message.get("type"), message.get("request_id")
            if kind == "interrupt_request":
                hit = request_id in running
                await send({"type": "interrupt_reply", "request_id": request_id, "interrupted": hit})
                if hit:
                    running[request_id].set()
            elif kind == "execution_request":
                code = message.get("code", "")
                if "while True" in code or "blocked" in code:
                    start(spin_code(request_id, 2.0 if "blocked" in code else 0.0))
                elif "deaf" not in code:
                    await send({"type": "execution_result", "success": True, "result": None,
                                "request_id": request_id, "function_name": None, "workbook_id": workbook_id,
                                "source": "ide"})
            elif kind == "custom_function_call" and message.get("function_name") == "spin":
                start(spin_function(request_id))
            elif kind == "execute_streaming_function" and message.get("function_name") == "busy":
                start(busy_stream(request_id))


if __name__ == "__main__":
    asyncio.run(serve(sys.argv[3], sys.argv[4]))
