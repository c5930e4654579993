"""Every command family end to end: the frames that reached the instrument, the
decoded results, and the instrument state they change."""

import pytest

from .support import frame, timed


STATUS = (0x14, 0x36)
SET = (0x14, 0x3C)


def status(tl, ch):
    return timed(tl.read_current_status, ch)


class TestVersion:
    def test_default_versions(self, sim, tl):
        assert timed(tl.read_device_version) == {"module_version": 2, "hard_version": 50, "soft_version": 32}
        assert sim.received() == [frame("7B 01 05 00 03 7C 7D")]

    def test_configured_versions(self, start_simulator, connect):
        sim = start_simulator("--versions", "7,0,255")
        tl = connect(sim.port)
        assert tl.read_device_version() == {"module_version": 7, "hard_version": 0, "soft_version": 255}
        # The same fixed frame every time, whatever was sent before.
        tl.read_current_status(3)
        tl.read_device_version()
        assert sim.received()[2] == frame("7B 01 05 00 03 7C 7D")


class TestWavelengths:
    def test_default_list_on_every_channel(self, sim, tl):
        for ch in (1, 2, 3, 4):
            assert timed(tl.read_optical_length, ch) == [1310, 1490, 1550]
        assert sim.received() == [frame("7B 01 05 07 2E 4A 7D"), frame("7B 02 05 07 2E 49 7D"),
                                  frame("7B 03 05 07 2E 48 7D"), frame("7B 04 05 07 2E 47 7D")]

    def test_per_channel_lists(self, start_simulator, connect):
        many = list(range(1000, 1600, 50))
        sim = start_simulator("--wavelengths", "2=1310,1490,1535", "--wavelengths", "3=",
                              "--wavelengths", "4=" + ",".join(map(str, many)))
        tl = connect(sim.port)
        assert tl.read_optical_length(1) == [1310, 1490, 1550]
        assert tl.read_optical_length(2) == [1310, 1490, 1535]
        assert tl.read_optical_length(3) == []
        assert tl.read_optical_length(4) == many

    def test_wavelengths_above_one_byte_high_part(self, start_simulator, connect):
        sim = start_simulator("--wavelengths", "0,255,256,65535")
        assert connect(sim.port).read_optical_length(2) == [0, 255, 256, 65535]


class TestSelection:
    @pytest.fixture
    def sim(self, start_simulator):
        return start_simulator("--wavelengths", "2=1310,1490,1535")

    def test_selection_uses_the_channel_own_list(self, sim, tl):
        assert timed(tl.set_optical_length, 1535, 2, pauses=2) is True
        assert sim.received() == [frame("7B 02 05 07 2E 49 7D"), frame("7B 02 06 14 3A 02 2D 7D")]
        assert status(tl, 2)["optical_length_index"] == 2
        assert status(tl, 1)["optical_length_index"] == 0

    def test_position_follows_each_selection(self, sim, tl):
        assert tl.set_optical_length(1490, 2) is True
        assert status(tl, 2)["optical_length_index"] == 1
        assert tl.set_optical_length(1310, 2) is True
        assert status(tl, 2)["optical_length_index"] == 0
        assert tl.set_optical_length(1550, 1) is True
        assert status(tl, 1)["optical_length_index"] == 2
        assert status(tl, 2)["optical_length_index"] == 0

    def test_wavelength_only_another_channel_has(self, sim, tl):
        with pytest.raises(ValueError, match="^the length: 1550 no supported yet!$"):
            tl.set_optical_length(1550, 2)
        # The list was read; no selection went out.
        assert sim.received() == [frame("7B 02 05 07 2E 49 7D")]
        assert status(tl, 2)["optical_length_index"] == 0

    def test_empty_list_cannot_select(self, start_simulator, connect):
        sim = start_simulator("--wavelengths", "3=")
        tl = connect(sim.port)
        with pytest.raises(RuntimeError, match="^device read failed! Please check your connection!$"):
            tl.set_optical_length(1310, 3)
        assert sim.received() == [frame("7B 03 05 07 2E 48 7D")]


class TestStatusAndAttenuation:
    def test_fresh_channels(self, sim, tl):
        for ch in (1, 2, 3, 4):
            assert status(tl, ch) == {"dev_work_mode": 0, "optical_length_index": 0, "attenuation": 0}
        assert sim.received()[1] == frame("7B 02 05 14 36 34 7D")

    @pytest.mark.parametrize("mdb, steps, readback", [
        (0, 0, 0),
        (10, 1, 10),
        (1100, 110, 1100),
        (1239, 123, 1230),          # the instrument keeps whole 0.01 dB steps
        (25600, 2560, 25600),       # high byte in use
        (655350, 0xFFFF, 655350),
    ])
    def test_set_then_read_back(self, sim, tl, mdb, steps, readback):
        assert timed(tl.set_attenuation, mdb, 3) is True
        assert status(tl, 3)["attenuation"] == readback
        assert sim.received() == [frame(3, SET, [steps & 0xFF, steps >> 8]), frame(3, STATUS)]

    def test_frames_as_the_protocol_tables_give_them(self, sim, tl):
        tl.set_attenuation(1100, 2)
        tl.set_attenuation(1234)
        tl.clear_attenuation(2)
        assert sim.received() == [frame("7B 02 07 14 3C 6E 00 BE 7D"), frame("7B 01 07 14 3C 7B 00 B2 7D"),
                                  frame("7B 02 07 14 34 00 00 34 7D")]

    def test_channels_are_independent_and_clear_gives_zero(self, sim, tl):
        assert tl.set_attenuation(1100, 1) is True
        assert tl.set_attenuation(3330, 3) is True
        assert timed(tl.clear_attenuation, 3) is True
        assert status(tl, 3)["attenuation"] == 0
        assert status(tl, 1)["attenuation"] == 1100
        assert status(tl, 2)["attenuation"] == 0


class TestDisplayAndLink:
    def test_close_full_screen(self, sim, tl):
        assert timed(tl.close_full_screen) is True
        assert sim.received() == [frame("7B 01 05 00 05 7A 7D")]

    def test_disconnect_blocks_the_channel_until_set_or_cleared(self, sim, tl):
        tl.set_attenuation(500, 2)
        tl.set_attenuation(700, 3)
        assert timed(tl.dis_connection, 2) is True
        assert sim.received()[-1] == frame("7B 02 07 14 34 FF FF 36 7D")
        assert status(tl, 2)["attenuation"] == 655350
        assert status(tl, 3)["attenuation"] == 700
        assert tl.set_attenuation(800, 2) is True
        assert status(tl, 2)["attenuation"] == 800
        tl.dis_connection(2)
        tl.clear_attenuation(2)
        assert status(tl, 2)["attenuation"] == 0


def test_replies_are_well_formed_and_answer_their_request(sim, tl):
    tl.read_device_version()
    tl.read_optical_length(2)
    tl.set_optical_length(1490, 4)
    tl.set_attenuation(1100, 3)
    tl.read_current_status(3)
    tl.clear_attenuation(3)
    tl.dis_connection(1)
    tl.close_full_screen()
    requests, replies = sim.received(), sim.log("tx")
    assert len(requests) == len(replies) == 9
    for asked, reply in zip(requests, replies):
        assert reply[0] == 0x7B and reply[-1] == 0x7D
        assert reply[2] == len(reply) - 2
        assert sum(reply[:-1]) % 256 == 0
        assert reply[1:2] + reply[3:5] == asked[1:2] + asked[3:5]
    assert sim.log("bad") == [] and sim.log("drop") == []
