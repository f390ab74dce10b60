"""Retry policy of the serial transactions (pauses recorded by the shared `sleeps` fixture)."""

import logging

import pytest

import velmo_device_communication as vdc

WARN, FAIL = (logging.WARNING, "Attempting Retry"), (logging.ERROR, "Retries failed after ")


def scripted(*outcomes):
    """A function that raises or returns its next outcome on every call; records its arguments."""
    calls = []

    def func(*args, **kwargs):
        calls.append((args, kwargs))
        if isinstance(outcomes[len(calls) - 1], BaseException):
            raise outcomes[len(calls) - 1]
        return outcomes[len(calls) - 1]

    return func, calls


def test_recovers_after_two_timeouts(sleeps, module_log):
    func, calls = scripted(vdc.VelmoTimeoutError("a"), vdc.VelmoTimeoutError("b"), "answer")
    assert vdc.retry_on_timeout()(func)(1, key="k") == "answer"
    assert calls == [((1,), {"key": "k"})] * 3 and sleeps == [0.1, 0.1] and module_log() == [WARN, WARN]


class LinkTimeout(vdc.VelmoTimeoutError):
    pass


@pytest.mark.parametrize("max_attempts, delay", [(3, 0.1), (4, 0.25), (1, 5.0)])
def test_always_timing_out(sleeps, module_log, max_attempts, delay):
    errors = [LinkTimeout(str(i)) for i in range(max_attempts)]  # subclasses are retried too
    func, calls = scripted(*errors)
    with pytest.raises(LinkTimeout) as info:
        vdc.retry_on_timeout(max_attempts=max_attempts, delay=delay)(func)()
    assert info.value is errors[-1]  # the very object of the last attempt
    assert len(calls) == max_attempts and sleeps == [delay] * (max_attempts - 1)
    assert module_log() == [WARN] * (max_attempts - 1) + [FAIL]


@pytest.mark.parametrize(
    "error, max_attempts",
    [(ValueError("bad"), 3), (vdc.VelmoCommunicationError("down"), 3), (KeyboardInterrupt(), 3), (None, 0), (None, -1)],
)
def test_no_retry(sleeps, module_log, error, max_attempts):
    func, calls = scripted(error or "never", "never")
    with pytest.raises(type(error) if error else TypeError) as info:
        vdc.retry_on_timeout(max_attempts)(func)()
    # Other errors pass at once; without attempts the remembered exception is None, hence TypeError.
    assert (info.value is error) if error else calls == []
    assert len(calls) == (1 if error else 0) and sleeps == [] and module_log() == []


def test_wrapper_metadata_and_factory_arguments():
    def transact(frame):
        """Send a frame and read the answer."""

    wrapped = vdc.retry_on_timeout()(transact)
    assert (wrapped.__name__, wrapped.__qualname__, wrapped.__doc__, wrapped.__module__) == (
        "transact", transact.__qualname__, "Send a frame and read the answer.", __name__)
    assert wrapped.__wrapped__ is transact and wrapped is not transact
    assert vdc.retry_on_timeout(2, delay=0.5).__qualname__ == "retry_on_timeout.<locals>.decorator"
    with pytest.raises(TypeError):
        vdc.retry_on_timeout(1, 2, 3)


def test_binds_as_a_method_and_starts_afresh(sleeps, module_log):
    class Link:
        attempts = 0

        @vdc.retry_on_timeout(max_attempts=2, delay=0.2)
        def send(self, frame):
            self.attempts += 1
            if self.attempts % 2:
                raise vdc.VelmoTimeoutError("no answer")
            return self, frame

    link = Link()
    assert link.send(b"\x00") == (link, b"\x00") and link.send(b"\x01") == (link, b"\x01")
    assert link.attempts == 4 and sleeps == [0.2, 0.2] and module_log() == [WARN, WARN]
