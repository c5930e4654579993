"""open(), close() and check_port_available() through stand-ins for serial, platform and subprocess."""

import traceback
import types

import pytest
import serial as real_serial

import tolvan
from tolvan import TOLVAN

ALREADY_OPENED = "serial port already opened!, Please close and try                       again!\n"
LSOF_ERROR = "检查端口时出错: "


class FakeSerialModule:
    """Stands in for pyserial: records every Serial() made, can refuse to open."""

    SerialException = real_serial.SerialException

    def __init__(self, refuse=None):
        self.made = []
        self.refuse = refuse

    def Serial(self, *args, **kwargs):
        if self.refuse is not None:
            raise self.refuse
        port = types.SimpleNamespace(args=args, kwargs=kwargs, closed=0)
        port.close = lambda: setattr(port, "closed", port.closed + 1)
        self.made.append(port)
        return port


def system(name):
    return types.SimpleNamespace(system=lambda: name)


def lsof(stdout=b"", raises=None, calls=None):
    def run(*args, **kwargs):
        if calls is not None:
            calls.append((args, list(kwargs.items())))
        if raises is not None:
            raise raises
        return types.SimpleNamespace(stdout=stdout, stderr=b"lsof: status error", returncode=1)

    return types.SimpleNamespace(run=run, PIPE=-1)


@pytest.fixture
def fake_serial(monkeypatch):
    module = FakeSerialModule()
    monkeypatch.setattr(tolvan, "serial", module)
    return module


@pytest.fixture
def linux(monkeypatch):
    monkeypatch.setattr(tolvan, "platform", system("Linux"))


# -- availability on Linux and macOS: lsof ---------------------------------------------------

@pytest.mark.parametrize("name", ["Linux", "Darwin", "MyWindowsLike", "windows10"])
def test_other_systems_ask_lsof_with_the_port_name(monkeypatch, capsys, name):
    calls = []
    monkeypatch.setattr(tolvan, "platform", system(name))
    monkeypatch.setattr(tolvan, "subprocess", lsof(calls=calls))
    assert TOLVAN("/dev/ttyUSB0").check_port_available() is True
    assert calls == [((["lsof", "/dev/ttyUSB0"],), [("stdout", -1), ("stderr", -1)])]
    assert capsys.readouterr().out == ""


def test_lsof_listing_a_holder_means_busy(monkeypatch, linux, capsys):
    monkeypatch.setattr(tolvan, "subprocess", lsof(stdout=b"COMMAND PID USER\npython 1 root\n"))
    assert TOLVAN("/dev/ttyUSB0").check_port_available() is False
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("error", [FileNotFoundError(2, "No such file or directory", "lsof"),
                                   ValueError("embedded null byte")])
def test_lsof_errors_are_printed_and_mean_unavailable(monkeypatch, linux, capsys, error):
    monkeypatch.setattr(tolvan, "subprocess", lsof(raises=error))
    assert TOLVAN("/dev/ttyUSB0").check_port_available() is False
    assert capsys.readouterr().out == LSOF_ERROR + str(error) + "\n"


def test_keyboard_interrupt_during_lsof_propagates(monkeypatch, linux, capsys):
    monkeypatch.setattr(tolvan, "subprocess", lsof(raises=KeyboardInterrupt()))
    with pytest.raises(KeyboardInterrupt):
        TOLVAN("/dev/ttyUSB0").check_port_available()
    assert capsys.readouterr().out == ""


# -- availability on Windows: a probe open -------------------------------------------------------

@pytest.mark.parametrize("name", ["Windows", "WINDOWS", "windows"])
def test_windows_probes_by_opening_and_closing(monkeypatch, fake_serial, capsys, name):
    monkeypatch.setattr(tolvan, "platform", system(name))
    assert TOLVAN("COM3").check_port_available() is True
    [probe] = fake_serial.made
    assert probe.args == ("COM3",) and probe.kwargs == {} and probe.closed == 1
    assert capsys.readouterr().out == ""


def test_windows_refusal_is_false_without_a_message(monkeypatch, capsys):
    monkeypatch.setattr(tolvan, "platform", system("Windows"))
    monkeypatch.setattr(tolvan, "serial", FakeSerialModule(refuse=real_serial.SerialException("busy")))
    assert TOLVAN("COM3").check_port_available() is False
    assert capsys.readouterr().out == ""


def test_windows_other_errors_propagate(monkeypatch):
    monkeypatch.setattr(tolvan, "platform", system("Windows"))
    monkeypatch.setattr(tolvan, "serial", FakeSerialModule(refuse=ValueError("bad name")))
    with pytest.raises(ValueError, match="bad name"):
        TOLVAN("COM3").check_port_available()


# -- open and close ----------------------------------------------------------------------------

def free(tl):
    tl.check_port_available = lambda: True
    return tl


@pytest.mark.parametrize("free_answer", [True, 1, ["any truthy value"]], ids=repr)
def test_open_uses_the_fixed_line_settings(fake_serial, capsys, free_answer):
    tl = TOLVAN("/dev/ttyUSB0")
    tl.check_port_available = lambda: free_answer
    assert tl.open() is True
    [port] = fake_serial.made
    assert port.args == ("/dev/ttyUSB0", 115200, 8, "N")
    assert list(port.kwargs.items()) == [("timeout", 50), ("stopbits", 1)]
    assert tl.ser is port
    assert capsys.readouterr().out == ""
    tl.close()
    assert port.closed == 1 and tl.ser is port
    tl.close()
    assert port.closed == 2


def test_open_refused_by_the_check_prints_the_already_opened_line(fake_serial, capsys):
    tl = TOLVAN("COM3")
    tl.check_port_available = lambda: 0
    assert tl.open() is False
    assert capsys.readouterr().out == ALREADY_OPENED
    assert fake_serial.made == [] and not hasattr(tl, "ser")


def test_open_reports_pyserial_refusal_with_its_text(monkeypatch, capsys):
    monkeypatch.setattr(tolvan, "serial", FakeSerialModule(refuse=real_serial.SerialException("[Errno 13] denied")))
    tl = free(TOLVAN("COM3"))
    assert tl.open() is False
    assert capsys.readouterr().out == "Cannot open serial port[Errno 13] denied\n"
    assert not hasattr(tl, "ser")


@pytest.mark.parametrize("error", [ValueError("bad baud"), OSError(5, "I/O error"), KeyError("port")])
def test_open_hides_other_exceptions_but_not_interrupts(monkeypatch, capsys, error):
    module = FakeSerialModule(refuse=error)
    monkeypatch.setattr(tolvan, "serial", module)
    tl = free(TOLVAN("COM3"))
    assert tl.open() is False
    assert capsys.readouterr().out == ""
    module.refuse = KeyboardInterrupt()
    with pytest.raises(KeyboardInterrupt) as raised:
        tl.open()
    assert traceback.extract_tb(raised.tb)[-1].name == "Serial"  # the raising function's frame is kept
    tl.check_port_available = lambda: (_ for _ in ()).throw(KeyboardInterrupt())
    with pytest.raises(KeyboardInterrupt):
        tl.open()


def test_a_failed_open_keeps_the_previous_port(monkeypatch, fake_serial):
    tl = free(TOLVAN("COM3"))
    assert tl.open() is True
    first = tl.ser
    fake_serial.refuse = real_serial.SerialException("gone")
    assert tl.open() is False
    assert tl.ser is first
    fake_serial.refuse = None
    tl.close()
    assert tl.open() is True and tl.ser is not first


def test_open_reads_the_port_name_at_each_call(fake_serial):
    tl = free(TOLVAN("COM3"))
    tl.port = "COM7"
    tl.open()
    assert fake_serial.made[0].args[0] == "COM7"


def test_open_without_lsof_prints_both_lines(monkeypatch, linux, fake_serial, capsys):
    missing = FileNotFoundError(2, "No such file or directory", "lsof")
    monkeypatch.setattr(tolvan, "subprocess", lsof(raises=missing))
    assert TOLVAN("/dev/ttyUSB0").open() is False
    assert capsys.readouterr().out == LSOF_ERROR + str(missing) + "\n" + ALREADY_OPENED


def test_close_errors_reach_the_caller(fake_serial):
    tl = free(TOLVAN("COM3"))
    tl.open()
    tl.ser.close = lambda: (_ for _ in ()).throw(OSError("close failed"))
    with pytest.raises(OSError, match="close failed"):
        tl.close()


def python_open(tl):
    """open() as Python code states it: what the module's except clauses must do."""
    try:
        if tl.check_port_available():
            tl.ser = tolvan.serial.Serial(tl.port, 115200, 8, "N", timeout=50, stopbits=1)
            return True
        print(ALREADY_OPENED, end="")
        return False
    except tolvan.serial.SerialException as e:
        print("Cannot open serial port" + str(e))
        return False
    except Exception:
        return False


@pytest.mark.parametrize("caught", [real_serial.SerialException, (KeyError, ValueError), (), 42, int,
                                    (ValueError, "SerialException")], ids=repr)
@pytest.mark.parametrize("raised", [real_serial.SerialException("busy"), ValueError("bad baud"), KeyboardInterrupt()],
                         ids=repr)
def test_open_matches_whatever_serial_exception_is_as_except_does(monkeypatch, capsys, caught, raised):
    """A tuple of classes is matched as a tuple; anything but exception classes is a TypeError."""
    module = FakeSerialModule(refuse=raised)
    module.SerialException = caught
    monkeypatch.setattr(tolvan, "serial", module)

    def outcome(open_):
        try:
            result = ("returned", open_(free(TOLVAN("COM3"))))
        except BaseException as error:
            result = ("raised", type(error), str(error), type(error.__context__))
        return result, capsys.readouterr().out

    assert outcome(TOLVAN.open) == outcome(python_open)
