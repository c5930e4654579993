"""The front panel (`tolvan serve --http`) in a real browser, headless Chromium driven by Playwright,
and through a plain HTTP client for what a browser never sends: requests from another site.

The page must show what the simulator's state file holds, send what it is asked exactly once,
follow changes made through other faces and the instrument's coming and going without a reload,
and refuse (sending nothing) what the instrument cannot take or what does not come from itself.
"""

from __future__ import annotations

import asyncio
import concurrent.futures
import os
import re
import shutil
import socket
import subprocess
import sys
from pathlib import Path

import pytest

from tolvan_lab import Attenuator

from .conftest import environment
from .test_instrument_loss import point, unplug

ARTEFACTS = Path(__file__).resolve().parents[2] / "build" / "test-artefacts"
PANEL = re.compile(r"panel on http://(127\.0\.0\.1:\d+)/")
SETTINGS = ("set_attenuation", "set_optical_length", "clear_attenuation", "dis_connection")


@pytest.fixture(scope="module")
def browser():
    pytest.importorskip("aiohttp", reason="the panel needs aiohttp: pip install '.[web]'")
    sync_api = pytest.importorskip("playwright.sync_api", reason="the panel's tests drive Chromium through Playwright: "
                                                                 "pip install playwright")
    executable = os.environ.get("TOLVAN_CHROMIUM") or shutil.which("chromium") or shutil.which("chromium-browser")
    if executable is None:
        pytest.skip("the panel's tests need Chromium (Debian: apt-get install chromium; or TOLVAN_CHROMIUM=PATH)")
    with sync_api.sync_playwright() as playwright:
        launched = playwright.chromium.launch(executable_path=executable)
        yield launched
        launched.close()


@pytest.fixture
def page(browser):
    opened = browser.new_page(viewport={"width": 1280, "height": 860})
    yield opened
    opened.close()


def address(server) -> str:
    return PANEL.search(server.wait_for(PANEL.pattern)).group(1)


def settings(sim, after: int = 0) -> list:
    """The settings the instrument received, from the `after`th on."""
    return [c for c in sim.commands() if c.name in SETTINGS][after:]


def shown(held) -> tuple[str, str]:
    """What a card shows for a channel the simulator holds: the reading, and the wavelength selected."""
    reading = "off" if not held["connected"] else f"{held['attenuation'] / 1000:.2f}"
    return reading, str(held["wavelengths"][held["wavelength_index"]])


def card(page, ch: int):
    return page.get_by_role("article", name=f"Channel {ch}")


def expect_state(page, sim, timeout: float = 5000) -> None:
    from playwright.sync_api import expect

    for ch, held in sim.state().items():
        reading, nm = shown(held)
        expect(card(page, ch).locator(".value")).to_have_text(reading, timeout=timeout)
        expect(page.get_by_label(f"Channel {ch} wavelength")).to_have_value(nm, timeout=timeout)


def test_the_page_shows_and_drives_the_instrument(instrument, serve, page):
    from playwright.sync_api import expect

    sim = instrument("--wavelengths", "3=1310,1550")
    with Attenuator(sim.port) as att:  # the state another program left
        att[2].attenuation = 12.5
        att[3].wavelength = 1550
        att[4].disconnect()
    preset = len(settings(sim))
    server = serve(sim.port, "--http", "127.0.0.1:0", "--scpi", "127.0.0.1:0", "--poll", "0.4")
    page.goto(f"http://{address(server)}/")
    expect_state(page, sim)
    expect(page.locator("#version")).to_have_text("2.50.32")
    expect(page.locator("#online")).to_have_text("answering")
    assert settings(sim, preset) == []  # showing sends nothing

    # From the keyboard: a value typed and Enter; a step; the connection toggled with Space.
    field = page.get_by_label("Channel 2 attenuation (dB)")
    field.fill("3.5")
    field.press("Enter")
    expect(card(page, 2).locator(".value")).to_have_text("3.50")
    page.get_by_role("button", name="Channel 2 up 0.1 dB").click()
    expect(card(page, 2).locator(".value")).to_have_text("3.60")
    page.get_by_label("Channel 1 wavelength").select_option("1490")
    expect(page.get_by_label("Channel 1 wavelength")).to_have_value("1490")
    page.get_by_role("button", name="Clear channel 2").click()
    expect(card(page, 2).locator(".value")).to_have_text("0.00")
    page.get_by_role("button", name="Disconnect channel 1").press(" ")
    expect(card(page, 1).locator(".value")).to_have_text("off")
    page.get_by_role("button", name="Connect channel 1").press("Enter")
    expect(card(page, 1).locator(".value")).to_have_text("0.00")
    assert [(c.name, c.channel, c.value) for c in settings(sim, preset)] == [
        ("set_attenuation", 2, 3500), ("set_attenuation", 2, 3600), ("set_optical_length", 1, 1490),
        ("clear_attenuation", 2, None), ("dis_connection", 1, None), ("set_attenuation", 1, 0)]
    expect_state(page, sim)

    # Refused on the page in the layer's words: nothing is sent.
    field.fill("1.234")
    page.get_by_role("button", name="Set channel 2").click()
    expect(card(page, 2).locator(".message")).to_have_text(
        "attenuation 1.234 dB is finer than the instrument's step of 0.01 dB (0 to 655.34 dB in steps of 0.01 dB)")
    page.get_by_role("button", name="Channel 2 down 0.1 dB").click()  # 0.00 - 0.1
    expect(card(page, 2).locator(".message")).to_contain_text("attenuation -0.10 dB is negative")
    expect(page.locator("#log li").first).to_contain_text("channel 2: attenuation -0.10 dB is negative")
    assert len(settings(sim, preset)) == 6
    page.wait_for_timeout(900)  # polls of channel 2 meanwhile: what was typed stays to be corrected
    expect(field).to_have_value("1.234")
    field.press("Escape")
    expect(field).to_have_value("0.00")

    # A change through SCPI shows within a second of its acknowledgement, without a reload.
    with socket.create_connection(("127.0.0.1", server.scpi_port), timeout=5) as scpi:
        scpi.sendall(b"INP3:ATT 7.25;*OPC?\n")
        assert scpi.recv(100) == b"1\n"
    expect(card(page, 3).locator(".value")).to_have_text("7.25", timeout=1000)
    expect(page.locator("#log li").first).to_contain_text("channel 3: 0.00 dB \N{RIGHTWARDS ARROW} 7.25 dB")
    expect(page.get_by_role("img", name="Channel 2 attenuation over the last 10 minutes: 0.00 to 12.50 dB")).to_be_visible()
    expect(page.get_by_role("img", name="Channel 3 attenuation over the last 10 minutes: 0.00 to 7.25 dB")).to_be_visible()
    ARTEFACTS.mkdir(parents=True, exist_ok=True)
    page.screenshot(path=ARTEFACTS / "panel.png", full_page=True)


def test_the_page_follows_the_instrument_and_the_server_away_and_back(instrument, serve, page, tmp_path):
    from playwright.sync_api import expect

    first = instrument()
    link = tmp_path / "ttyATT"
    link.symlink_to(first.port)
    server = serve(link, "--http", "127.0.0.1:0", "--poll", "0.4")
    where = address(server)
    page.goto(f"http://{where}/")
    expect_state(page, first)

    unplug(link, first)  # every value unknown, not the last one seen
    expect(page.locator("#online")).to_have_text("not answering", timeout=5000)
    for ch in (1, 2, 3, 4):
        expect(card(page, ch).locator(".value")).to_have_text("—")
        expect(page.get_by_label(f"Channel {ch} wavelength")).to_have_value("")
    expect(page.locator("#version")).to_have_text("unknown")
    page.get_by_label("Channel 1 attenuation (dB)").fill("2")
    page.get_by_role("button", name="Set channel 1").click()
    expect(card(page, 1).locator(".message")).to_contain_text("is not open")

    second = instrument("--versions", "3,1,4")
    with Attenuator(second.port) as att:
        att[1].attenuation = 5
    preset = len(settings(second))
    point(link, second.port)
    expect(page.locator("#version")).to_have_text("3.1.4", timeout=10000)
    expect_state(page, second)

    # The server restarts: the page says so, shows nothing it cannot know, and comes back by itself.
    server.stop()
    expect(page.locator("#link")).to_have_text("reconnecting")
    expect(card(page, 1).locator(".value")).to_have_text("—")
    serve(link, "--http", where, "--poll", "0.4")
    expect(page.locator("#link")).to_have_text("live", timeout=10000)
    expect_state(page, second)
    assert settings(first) == settings(second, preset) == []  # the set while unplugged went nowhere


def test_the_read_only_page_has_no_controls(instrument, serve, page):
    from playwright.sync_api import expect

    sim = instrument()
    server = serve(sim.port, "--http", "127.0.0.1:0", "--http-read-only", "--poll", "0.4")
    page.goto(f"http://{address(server)}/")
    expect(card(page, 4).locator(".value")).to_have_text("0.00")
    expect(card(page, 4)).to_contain_text("1310 nm")
    assert page.get_by_role("button").count() == 0 and page.get_by_role("textbox").count() == 0


def test_only_the_page_itself_changes_anything(instrument, serve):
    aiohttp = pytest.importorskip("aiohttp", reason="the panel needs aiohttp: pip install '.[web]'")
    sim = instrument()
    server = serve(sim.port, "--http", "127.0.0.1:0")
    read_only = serve(instrument().port, "--http", "127.0.0.1:0", "--http-read-only", "--allow", "127.0.0.1/32")
    where, read_only_at = address(server), address(read_only)
    own = f"http://{where}"

    async def attempts() -> list[int]:
        async with aiohttp.ClientSession() as client:
            async with client.ws_connect(f"{own}/live", origin=own) as live:
                token = (await live.receive_json())["token"]
            with pytest.raises(aiohttp.WSServerHandshakeError) as refused:
                await client.ws_connect(f"{own}/live", origin="http://evil.example")
            statuses = [refused.value.status]
            asked = {"json": {"action": "attenuation", "value": "4"}}
            for url, headers in [
                (own, {"Origin": "http://evil.example", "X-Tolvan-Token": token}),  # another site open in the browser
                (own, {"X-Tolvan-Token": token}),  # no Origin: not from a page
                (own, {"Origin": own}),  # the page's origin, but not its token
                (own, {"Origin": "http://evil.example:80", "Host": "evil.example", "X-Tolvan-Token": token}),  # rebinding
                (f"http://{read_only_at}", {"Origin": f"http://{read_only_at}", "X-Tolvan-Token": ""}),
                (own, {"Origin": own, "X-Tolvan-Token": token}),  # the page itself
            ]:
                async with client.post(f"{url}/channels/2", headers=headers, **asked) as response:
                    statuses.append(response.status)
        # --allow applies to the panel as to SCPI: 127.0.0.2 is not 127.0.0.1/32.
        for source in ("127.0.0.2", "127.0.0.1"):
            async with aiohttp.ClientSession(connector=aiohttp.TCPConnector(local_addr=(source, 0))) as client:
                async with client.get(f"http://{read_only_at}/") as response:
                    statuses.append(response.status)
        return statuses

    with concurrent.futures.ThreadPoolExecutor(1) as thread:  # Playwright's loop may run in this one
        assert thread.submit(asyncio.run, attempts()).result() == [403, 403, 403, 403, 421, 403, 200, 403, 200]
    assert [(c.name, c.channel, c.value) for c in settings(sim)] == [("set_attenuation", 2, 4000)]


def test_without_aiohttp_the_panel_names_the_extra(tmp_path):
    (tmp_path / "aiohttp.py").write_text("raise ImportError('no aiohttp here')\n")
    env = environment(PYTHONPATH=os.pathsep.join([str(tmp_path), os.environ.get("PYTHONPATH", "")]))
    done = subprocess.run([sys.executable, "-m", "tolvan_cli", "serve", "-p", str(tmp_path / "no-such-port"), "--http"],
                          env=env, stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=30)
    assert done.returncode == 2
    assert "pip install 'tolvan[web]' (in a checkout: pip install '.[web]')" in done.stderr
