"""send_periodic on the python-can bus (pdu7318.can): a thread per task
that sends through the bus's one turn."""

import logging
import threading
import time

import can
from can.broadcastmanager import (LimitedDurationCyclicSendTaskABC, ModifiableCyclicTaskABC,
                                  RestartableCyclicTaskABC)

log = logging.getLogger("pdu7318.can")

# Dropped frames are logged at most this often per task.
DROP_LOG_S = 1.0


class PeriodicTask(LimitedDurationCyclicSendTaskABC, ModifiableCyclicTaskABC, RestartableCyclicTaskABC):
    """send_periodic on this bus: one thread sends the messages in turn,
    every period. stop() returns once no further frame can go: a frame
    waiting for the bus's turn is dropped, and the thread wakes at once."""

    def __init__(self, bus, messages, period, duration=None):
        super().__init__(messages, period, duration)
        self._bus = bus
        self.dropped = 0  # frames that found no turn within their period
        self._unreported = 0
        self._reported_at = None
        self._stopped = threading.Event()
        self._thread = None
        self._end = None if not duration else time.monotonic() + duration
        self.start()

    def start(self):
        self._stopped.clear()
        if self._thread is None or not self._thread.is_alive():
            self._thread = threading.Thread(target=self._run, name="pdu7318-periodic-%X" % (
                self.messages[0].arbitration_id), daemon=True)
            self._thread.start()

    def stop(self):
        self._stopped.set()
        # A send of this task that is starting its ComPrimitive holds the
        # bus's lock; once we hold it, the next one sees the flag.
        with self._bus._cond:
            self._bus._cond.notify_all()

    def _dropped(self, msg, error):
        """Counts a frame that found no turn; one log line a second at most
        (with listen, a period shorter than the window drops most frames)."""
        self.dropped += 1
        self._bus.periodic_dropped += 1
        self._unreported += 1
        now = time.monotonic()
        if self._reported_at is None or now - self._reported_at >= DROP_LOG_S:
            log.warning("pdu7318 periodic 0x%X: %d frame(s) dropped (%d in all): %s", msg.arbitration_id,
                        self._unreported, self.dropped, error)
            self._unreported, self._reported_at = 0, now

    def _run(self):
        index = 0
        due = time.monotonic()
        while not self._stopped.is_set():
            msg = self.messages[index]
            try:
                if not self._bus._send_message(msg, self.period, self._stopped):
                    break
            except can.CanError as e:
                if self._bus._closing or self._bus._lost is not None:
                    break
                self._dropped(msg, e)
            index = (index + 1) % len(self.messages)
            if self._end is not None and time.monotonic() >= self._end:
                break
            due += self.period
            now = time.monotonic()
            if due < now:
                due = now  # late: the next one now, without catching up
            if self._stopped.wait(due - now):
                break
