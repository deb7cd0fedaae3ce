"""The HTTP side of serving under uvicorn: connections that must deliver their request
headers in time, and a stop on SIGTERM/SIGINT that lets running generations finish."""

from __future__ import annotations

import asyncio

import uvicorn
from uvicorn.protocols.http.h11_impl import H11Protocol


def timed_protocol(header_timeout):
    """uvicorn's h11 protocol, closing a connection that stays without a complete request
    header for `header_timeout` seconds: one opened and left silent, or one sending half a
    request. Idle keep-alive connections after a response keep uvicorn's own timeout."""

    class TimedH11Protocol(H11Protocol):
        def connection_made(self, transport):
            self._deadline = None
            super().connection_made(transport)
            self._await_header()

        def connection_lost(self, exc):
            self._cancel_deadline()
            super().connection_lost(exc)

        def handle_events(self):
            super().handle_events()
            if self._in_request():
                self._cancel_deadline()

        def on_response_complete(self):
            super().on_response_complete()
            if not self._in_request():
                self._await_header()

        def _in_request(self):
            return self.cycle is not None and not self.cycle.response_complete

        def _await_header(self):
            self._cancel_deadline()
            self._deadline = self.loop.call_later(header_timeout, self._late)

        def _cancel_deadline(self):
            if self._deadline is not None:
                self._deadline.cancel()
                self._deadline = None

        def _late(self):
            self._deadline = None
            if not self._in_request() and not self.transport.is_closing():
                self.transport.close()

    return TimedH11Protocol


class GracefulServer(uvicorn.Server):
    """Tells the application when a stop signal arrives, so that it can refuse queued
    requests and bound how long running generations may go on."""

    def __init__(self, config, on_stop):
        super().__init__(config)
        self.on_stop = on_stop

    def handle_exit(self, sig, frame):
        first = not self.should_exit
        super().handle_exit(sig, frame)
        if first:
            try:
                loop = asyncio.get_running_loop()
            except RuntimeError:
                return
            loop.call_soon_threadsafe(self.on_stop)
