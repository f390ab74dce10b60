"""velmo.interrupts: the package's one Ctrl-C handler, its scopes, and the program's handler put back."""

import signal
import threading

import pytest

from velmo import interrupts

from support.waiting import wait_for


@pytest.fixture
def program_handler():
    """A handler of the program's own that counts the Ctrl-C passed on to it."""
    received = []

    def handler(signum, _frame):
        received.append(signum)

    previous = signal.signal(signal.SIGINT, handler)
    yield handler, received
    signal.signal(signal.SIGINT, previous)


def ctrl_c():
    signal.raise_signal(signal.SIGINT)


def test_held_ctrl_c_is_passed_on_once_when_the_block_ends(program_handler):
    handler, received = program_handler
    with interrupts.held():
        ctrl_c()
        ctrl_c()
        assert received == []
    assert received == [signal.SIGINT] and signal.getsignal(signal.SIGINT) is handler


@pytest.mark.parametrize("interrupt_first", [True, False], ids=["interrupted, then closing", "only while closing"])
def test_a_watch_lets_the_first_through_and_holds_the_rest(program_handler, interrupt_first):
    handler, received = program_handler
    scope = interrupts.watch()
    if interrupt_first:
        ctrl_c()
        assert received == [signal.SIGINT]
    scope.holding = True
    ctrl_c()
    ctrl_c()
    assert len(received) == int(interrupt_first)
    interrupts.end(scope)
    # Held ones are passed on (once) only when none went through before.
    assert received == [signal.SIGINT] and signal.getsignal(signal.SIGINT) is handler


def test_nested_scopes_hold_for_the_innermost_and_let_an_interrupt_mark_them_all(program_handler):
    handler, received = program_handler
    outer = interrupts.watch()
    with interrupts.held():
        ctrl_c()
    assert received == [signal.SIGINT] and outer.interrupted
    ctrl_c()  # the outer scope holds it now
    assert received == [signal.SIGINT] and signal.getsignal(signal.SIGINT) is not handler
    interrupts.end(outer)
    assert received == [signal.SIGINT] and signal.getsignal(signal.SIGINT) is handler


def test_calling_turns_signals_into_callbacks_and_puts_both_handlers_back():
    before = {number: signal.getsignal(number) for number in (signal.SIGINT, signal.SIGTERM)}
    called = []
    with interrupts.calling(called.append, (signal.SIGINT, signal.SIGTERM)):
        ctrl_c()
        signal.raise_signal(signal.SIGTERM)
    assert called == [signal.SIGINT, signal.SIGTERM]
    assert {number: signal.getsignal(number) for number in before} == before


def test_a_scope_ended_on_another_thread_has_the_main_thread_restore_the_handler(program_handler):
    handler, received = program_handler
    scope = interrupts.watch()
    scope.holding = True
    ctrl_c()  # held: owed to the program once the scope ends
    ender = threading.Thread(target=interrupts.end, args=(scope,))
    ender.start()
    ender.join()
    wait_for(lambda: signal.getsignal(signal.SIGINT) is handler, "the program's handler to be back")
    wait_for(lambda: received == [signal.SIGINT], "the held Ctrl-C to be passed on")


def test_a_command_scope_only_where_the_program_left_ctrl_c_to_python(program_handler):
    assert interrupts.first_only() is None
    signal.signal(signal.SIGINT, signal.default_int_handler)
    scope = interrupts.first_only()
    try:
        with pytest.raises(KeyboardInterrupt):
            ctrl_c()
        ctrl_c()  # held back for good
    finally:
        interrupts.end(scope)
    assert scope.held == 1 and signal.getsignal(signal.SIGINT) is signal.default_int_handler
