"""Ctrl-C for the whole package: one handler per signal, installed while velmo needs it.

Clean-up that an interrupt cuts short leaves an instrument streaming, a rate changed or
a file open. Whatever in velmo needs a say in what Ctrl-C does opens a *scope*; while
any scope is open, velmo's handler is the signal's handler, and the handler found
before it (the program's own) is put back when the last scope ends. A Ctrl-C is

- held back while a scope is ``holding`` (clean-up that must finish), or when a scope
  that holds after a first interrupt has seen one go through;
- otherwise passed on: to the innermost scope's ``callback``, else to the program's
  handler (Python's raises ``KeyboardInterrupt``). Every open scope notes that one went
  through.

A scope that ends with Ctrl-C held back and none gone through passes one on then, so
an interrupt is never swallowed. Handlers can be set only on the main thread, which is
also the only thread signals reach: a scope opened on another thread has nothing to
do. A scope ended on another thread has the main thread put the program's handler back
as soon as it runs Python code again (``_thread.interrupt_main`` runs our handler
there). A forked child starts with no scope and the program's handler.
"""

from __future__ import annotations

import _thread
import contextlib
import os
import signal
import threading
from collections.abc import Callable, Iterable, Iterator
from typing import Any


def _on_main_thread() -> bool:
    return threading.current_thread() is threading.main_thread()


class Scope:
    """What Ctrl-C does while some part of velmo runs; see the module's description.

    :param hold_after_first: Hold back every Ctrl-C after the first one that went through
    :param release_held: Pass one held Ctrl-C on at the end, unless one went through
    :param callback: Called with the signal's number instead of the program's handler
    """

    def __init__(
        self,
        *,
        hold_after_first: bool = False,
        release_held: bool = True,
        callback: Callable[[int], None] | None = None,
    ) -> None:
        self.hold_after_first = hold_after_first
        self.release_held = release_held
        self.callback = callback
        self.holding = False
        self.interrupted = False  # one went through while the scope was open
        self.held = 0

    @property
    def holds(self) -> bool:
        return self.holding or (self.hold_after_first and self.interrupted)


class _Dispatcher:
    """velmo's handler of one signal and the scopes open on it."""

    def __init__(self, signum: int) -> None:
        self._signum = signum
        # Reentrant: the handler runs on the main thread between any two bytecodes,
        # also while the main thread holds the lock.
        self._lock = threading.RLock()
        self._scopes: list[Scope] = []
        self._previous: Any = None
        self._simulated = False  # a call of our handler asked for from another thread is pending
        self._owed = 0  # Ctrl-C held by scopes that ended on another thread, passed on by the main thread

    def _ours(self) -> bool:
        return bool(signal.getsignal(self._signum) == self._handle)

    def enter(self, scope: Scope) -> None:
        if not _on_main_thread():
            return
        with self._lock:
            self._scopes.append(scope)
            if not self._ours():
                self._previous = signal.signal(self._signum, self._handle)

    def leave(self, scope: Scope, *, ignore_further: bool = False) -> None:
        with self._lock:
            if scope not in self._scopes:
                return
            self._scopes.remove(scope)
            owed = scope.release_held and scope.held > 0 and not scope.interrupted
            last = not self._scopes
            if not _on_main_thread():
                self._owed += owed
                if (owed or last) and self._ours() and not self._simulated:
                    # Our handler, run by the main thread as soon as it runs Python code.
                    self._simulated = True
                    _thread.interrupt_main(signal.Signals(self._signum))
                return
        if last:
            self._restore(SIG_IGN if ignore_further else None)
        elif ignore_further:
            signal.signal(self._signum, signal.SIG_IGN)
        if owed:
            self._dispatch(None)

    def _restore(self, handler: Any = None) -> None:
        """The program's handler back (or ``handler``) where ours is installed; main thread only.

        While a call of our handler asked for from another thread is pending, ours stays:
        that call is made to whatever handler is installed then, and it restores.
        """
        with self._lock:
            if self._simulated and handler is None:
                return
            if self._ours() or handler is not None:
                previous, self._previous = self._previous, None
                signal.signal(self._signum, previous if handler is None else handler)

    def _handle(self, _signum: int, frame: Any) -> None:
        with self._lock:
            simulated, self._simulated = self._simulated, False
            owed, self._owed = self._owed, 0
            previous = self._previous
            last = not self._scopes
        if simulated:
            # Asked for by a scope that ended on another thread (a Ctrl-C that came at the
            # same moment is one with it): put the program's handler back, pass on what is owed.
            if last:
                self._restore()
            if owed:
                self._dispatch(frame, previous)
            return
        self._dispatch(frame, previous)

    def _dispatch(self, frame: Any, previous: Any = None) -> None:
        with self._lock:
            scopes = list(self._scopes)
            if previous is None:
                previous = self._previous if self._previous is not None else signal.getsignal(self._signum)
            holding = [scope for scope in scopes if scope.holds]
            for scope in holding:
                scope.held += 1
            if holding:
                return
            for scope in scopes:
                scope.interrupted = True
        for scope in reversed(scopes):
            if scope.callback is not None:
                scope.callback(self._signum)
                return
        if callable(previous) and previous != self._handle:
            previous(self._signum, frame)
        elif previous in (signal.SIG_DFL, None) and self._signum == signal.SIGINT:
            raise KeyboardInterrupt

    def forget(self) -> None:
        """In a forked child: no scope is open, the program's handler is back."""
        self._lock = threading.RLock()
        self._scopes = []
        self._owed = 0
        self._simulated = False
        if self._ours():
            with contextlib.suppress(ValueError):
                signal.signal(self._signum, self._previous)
        self._previous = None


SIG_IGN = signal.SIG_IGN
_dispatchers: dict[int, _Dispatcher] = {}
_dispatchers_lock = threading.Lock()


def _dispatcher(signum: int) -> _Dispatcher:
    with _dispatchers_lock:
        found = _dispatchers.get(signum)
        if found is None:
            found = _dispatchers[signum] = _Dispatcher(signum)
        return found


def _forget_all() -> None:
    global _dispatchers_lock
    _dispatchers_lock = threading.Lock()
    for dispatcher in _dispatchers.values():
        dispatcher.forget()


os.register_at_fork(after_in_child=_forget_all)


def open_scope(scope: Scope, signals: Iterable[int] = (signal.SIGINT,)) -> Scope:
    """Open ``scope`` on ``signals``; end it with ``end``."""
    for signum in signals:
        _dispatcher(signum).enter(scope)
    return scope


def end(scope: Scope, signals: Iterable[int] = (signal.SIGINT,), *, ignore_further: bool = False) -> None:
    """End ``scope``; with ``ignore_further`` the signal is ignored from now on (a process on its way out)."""
    for signum in signals:
        _dispatcher(signum).leave(scope, ignore_further=ignore_further)


def watch() -> Scope:
    """A scope for a run and its clean-up: the first Ctrl-C interrupts as usual, later ones
    are held back until the scope ends; set ``holding`` while cleaning up."""
    return open_scope(Scope(hold_after_first=True))


@contextlib.contextmanager
def held() -> Iterator[None]:
    """Hold Ctrl-C back until the block has finished, then pass it on (once)."""
    scope = open_scope(Scope())
    scope.holding = True
    try:
        yield
    finally:
        end(scope)


def first_only() -> Scope | None:
    """For a command: the first Ctrl-C interrupts it, later ones are held back for good.

    None, and nothing changes, where the program chose its own Ctrl-C handling.
    """
    if not _on_main_thread() or signal.getsignal(signal.SIGINT) is not signal.default_int_handler:
        return None
    return open_scope(Scope(hold_after_first=True, release_held=False))


@contextlib.contextmanager
def calling(callback: Callable[[int], None], signals: Iterable[int] = (signal.SIGINT,)) -> Iterator[Scope]:
    """Within the block, ``signals`` call ``callback(signum)`` instead of interrupting."""
    signals = tuple(signals)
    scope = open_scope(Scope(callback=callback, release_held=False), signals)
    try:
        yield scope
    finally:
        end(scope, signals)
