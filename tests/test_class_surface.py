"""What callers see of the class before any method runs: namespace, templates, method objects."""

import copy
import gc
import inspect
import pickle
import pydoc
import re
import subprocess
import sys
import weakref

import pytest

import tolvan
from conftest import TEMPLATE_NAMES
from tolvan import TOLVAN

TEMPLATES = {
    "_TOLVAN__CMD_READ_DEV_VER": [123, 1, 5, 0, 3, 124, 125],
    "_TOLVAN__CMD_READ_OPTICAL_LEN": [123, 1, 5, 7, 46, 74, 125],
    "_TOLVAN__CMD_READ_CURRENT_STATUS": [123, 1, 5, 20, 54, 53, 125],
    "_TOLVAN__CMD_CLOSE_FULLSCREEN": [123, 1, 5, 0, 5, 122, 125],
    "_TOLVAN__CMD_SET_OPTICAL_LEN": [123, 1, 6, 20, 58, 1, 47, 125],
    "_TOLVAN__CMD_SET_ATTENUATION": [123, 1, 7, 20, 60, 244, 1, 56, 125],
    "_TOLVAN__CMD_CLEAR_ATTENUATION": [123, 1, 7, 20, 52, 0, 0, 53, 125],
    "_TOLVAN__CMD_DIS_CONNECT": [123, 1, 7, 20, 52, 255, 255, 55, 125],
}

# stored name, __name__, parameters after self, defaults, annotations
METHODS = [
    ("__init__", "__init__", ["serial_port"], None, {"serial_port": "str"}),
    ("_TOLVAN__check_crc", "__check_crc", ["data"], None, {"data": "list", "return": "bool"}),
    ("_TOLVAN__cal_crc", "__cal_crc", ["data"], None, {"data": "list", "return": "None"}),
    ("_TOLVAN__read", "__read", [], None, {}),
    ("_TOLVAN__write_and_read", "__write_and_read", ["cmd"], None, {"cmd": "bytes"}),
    ("read_device_version", "read_device_version", [], None, {}),
    ("read_optical_length", "read_optical_length", ["ch"], (1,), {"ch": "int"}),
    ("set_optical_length", "set_optical_length", ["length", "ch"], (1,), {"length": "int", "ch": "int"}),
    ("read_current_status", "read_current_status", ["ch"], (1,), {"ch": "int"}),
    ("close_full_screen", "close_full_screen", [], None, {"return": "bool"}),
    ("set_attenuation", "set_attenuation", ["attenuation", "ch"], (1,),
     {"attenuation": "int", "ch": "int", "return": "bool"}),
    ("clear_attenuation", "clear_attenuation", ["ch"], (1,), {"ch": "int", "return": "bool"}),
    ("dis_connection", "dis_connection", ["ch"], (1,), {"ch": "int"}),
    ("check_port_available", "check_port_available", [], None, {"return": "bool"}),
    ("open", "open", [], None, {"return": "bool"}),
    ("close", "close", [], None, {}),
]

DOCS = {
    "__init__": "initialize serial port\n        :param serial_port:\n        For Windows, 'COM3', 'COM4' ...\n"
    "        For Linux/MacOS, '/dev/ttyUSB0', '/dev/ttyUSB1'...\n        ",
    "_TOLVAN__check_crc": "\n        Verify the CRC of the received message.\n\n        :param data: List of bytes "
    "representing the message received \n                     from the device.\n        :return: True if the "
    "CRC is valid, False otherwise.\n        ",
    "_TOLVAN__cal_crc": "\n        Calculate the CRC of the send command.\n\n        :param data: List of bytes "
    "representing the message to be sended.\n        ",
    "_TOLVAN__read": "\n        Read serial data\n        ",
    "_TOLVAN__write_and_read": "\n        send command and read response data\n        :param cmd: the command "
    "send to serial port\n        ",
    "read_device_version": " Read device version\n        device version: module, hardware, software\n"
    "        :return dict:\n        {\n            'module_version': 2,\n            'hard_version': 50,\n"
    "            'soft_version': 32,\n        }\n        ",
    "read_optical_length": " Read supported optical length of the channel\n        :param ch: the channel to "
    "query, default 1\n        :return list:\n        [1310, 1490, 1535, ...]\n        ",
    "set_optical_length": "Set optical length of the channel\n        :param ch:the channel to query, default 1\n"
    "        :return bool:True if success, else False\n        ",
    "read_current_status": "Read current status of the channel\n        :param ch:the channel to query, default 1\n"
    "        :return dict:\n        {\n            # For TOLVAN, dev_work_mode always 0\n"
    "            'dev_work_mode': 0,\n\n            # 1 means the index 1 in surpported lengths\n"
    "            'optical_lenght_index': 1,\n\n            # The TOLVAN device precision is 0.01db\n"
    "            # attenuation value unit is mdb, 1 db = 1000 mdb\n            'attenuation': 0,\n        }\n"
    "        ",
    "close_full_screen": "Close Full Screen\n        :return bool: True if success, else False\n        ",
    "set_attenuation": " Set the attenuation of the channel\n        The TOLVAN device precision is 0.01db\n"
    "        :param attenuation: unit is mdb, 1 db = 1000 mdb\n        :param ch: the channel to query, default 1\n"
    "        :return bool: True if success, else False\n        ",
    "dis_connection": " Disconnect the connection of the channel\n        :param ch:the channel to set, default 1\n"
    "        :return bool: True if success, else False\n        ",
    "check_port_available": " Check whether the port is available\n        :return bool: True if available, "
    "else False\n        ",
    "open": " open the serial port\n        :return bool: True if open sucess, else False\n        ",
    "close": None,
}


def test_class_is_a_plain_class_with_its_namespace_in_order():
    assert type(TOLVAN) is type
    assert TOLVAN.__bases__ == (object,)
    assert TOLVAN.__module__ == "tolvan"
    assert TOLVAN.__qualname__ == "TOLVAN"
    assert TOLVAN.__doc__ is None
    expected = ["__module__"] + TEMPLATE_NAMES + [stored for stored, *_ in METHODS]
    assert list(TOLVAN.__dict__)[: len(expected)] == expected
    assert "__CMD_SET_ATTENUATION" not in TOLVAN.__dict__ and "__cal_crc" not in TOLVAN.__dict__


def test_templates_are_plain_lists_byte_for_byte():
    for name, content in TEMPLATES.items():
        held = TOLVAN.__dict__[name]
        assert type(held) is list and held == content, name
        assert all(type(byte) is int for byte in held)
        # every template already carries the checksum of its bytes
        assert sum(held[:-1]) % 256 == 0, name


@pytest.mark.parametrize("stored, name, parameters, defaults, annotations", METHODS)
def test_method_objects_carry_function_introspection(stored, name, parameters, defaults, annotations):
    method = TOLVAN.__dict__[stored]
    assert method.__name__ == name
    assert method.__qualname__ == "TOLVAN." + name
    assert method.__module__ == "tolvan"
    assert method.__doc__ == DOCS.get(stored, method.__doc__)
    assert method.__defaults__ == defaults
    assert method.__annotations__ == annotations
    assert all(type(value) is str for value in method.__annotations__.values())
    assert list(inspect.signature(method).parameters) == ["self"] + parameters
    assert method.__signature__ is method.__signature__  # built once, on first request
    # what a caller may change, and so close a cycle through, is seen by the garbage collector
    assert {id(method.__annotations__), id(method.__defaults__)} <= {id(held) for held in gc.get_referents(method)}
    assert getattr(TOLVAN, stored) is method  # unbound access gives the function itself
    assert method.__get__(None, TOLVAN) is method
    assert re.fullmatch(f"<function {re.escape(method.__qualname__)} at 0x[0-9a-f]+>", repr(method))


def test_clear_attenuation_documents_its_channel_and_result():
    doc = TOLVAN.clear_attenuation.__doc__
    assert ":param ch" in doc and "default 1" in doc and "True if success, else False" in doc


def test_methods_bind_to_instances_like_functions():
    tl = TOLVAN("COM3")
    bound = tl.read_optical_length
    assert bound.__self__ is tl and bound.__func__ is TOLVAN.read_optical_length
    assert str(inspect.signature(bound)) == "(ch: 'int' = 1)"
    assert str(inspect.signature(tl.set_attenuation)) == "(attenuation: 'int', ch: 'int' = 1) -> 'bool'"
    assert repr(bound).startswith("<bound method TOLVAN.read_optical_length of ")


SIGNATURE_WITHOUT = """
import inspect, tolvan
saved = dict(vars(inspect))
for removed in ({"Parameter"}, {"Parameter", "Signature"}, {"Signature"}):
    for name in removed:
        delattr(inspect, name)
    try:
        tolvan.TOLVAN.set_attenuation.__signature__
    except AttributeError as error:
        print(type(error).__name__, error.name)
    vars(inspect).update(saved)
print(tolvan.TOLVAN.set_attenuation.__signature__)
"""


@pytest.mark.spawns
def test_signature_names_the_part_of_inspect_it_misses():
    done = subprocess.run([sys.executable, "-c", SIGNATURE_WITHOUT], capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout.splitlines() == ["AttributeError Parameter", "AttributeError Parameter",
                                        "AttributeError Signature", "(self, attenuation: 'int', ch: 'int' = 1) -> 'bool'"]


def test_help_shows_every_public_method_with_signature_and_doc():
    text = pydoc.render_doc(TOLVAN, renderer=pydoc.plaintext)
    for stored, name, *_ in METHODS:
        if stored.startswith("_TOLVAN"):
            continue
        assert name + "(self" in text, name
    assert "set_attenuation(self, attenuation: 'int', ch: 'int' = 1) -> 'bool'" in text
    assert "Read supported optical length of the channel" in text


def test_new_object_holds_only_its_port():
    tl = TOLVAN(serial_port="/dev/ttyUSB0")
    assert vars(tl) == {"port": "/dev/ttyUSB0"}
    with pytest.raises(AttributeError):
        tl.close()
    with pytest.raises(AttributeError):
        tl.read_device_version()


def test_instance_attributes_shadow_templates_and_private_methods(driver):
    driver._TOLVAN__CMD_READ_DEV_VER = [1, 2, 3]
    calls = []
    driver._TOLVAN__read = lambda: calls.append("read") or None
    assert driver.read_device_version() is None
    assert driver.ser.written == [bytes([1, 2, 3])]
    assert calls == ["read"]
    assert TOLVAN._TOLVAN__CMD_READ_DEV_VER == TEMPLATES["_TOLVAN__CMD_READ_DEV_VER"]


def test_methods_are_weakly_referenced_pickled_and_copied_as_functions_are():
    tl = TOLVAN("COM3")
    callbacks = weakref.WeakMethod(tl.read_current_status)    # as callback registries hold methods
    assert callbacks() == tl.read_current_status
    for stored, name, *_ in METHODS:
        method = TOLVAN.__dict__[stored]
        assert weakref.ref(method)() is method
        assert copy.copy(method) is method and copy.deepcopy([method])[0] is method
        if not stored.startswith("_TOLVAN"):                   # by reference: module and qualified name
            for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
                assert pickle.loads(pickle.dumps(method, protocol)) is method, (name, protocol)
    del tl
    assert callbacks() is None
