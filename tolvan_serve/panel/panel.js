// The front panel: shows what the server says the instrument holds, and sends what the user asks.
// The server judges every request; this script only shows its answer.
"use strict";

const TREND_SECONDS = 600;
const WIDTH = 300; // the trend's drawing units: its viewBox is 300 by 80
const panel = { token: "", readOnly: true, offset: 0, cards: new Map(), trend: new Map() };
let retry = 500;

const $ = (id) => document.getElementById(id);
const serverNow = () => Date.now() / 1000 + panel.offset;

function connect() {
  const socket = new WebSocket(`ws://${location.host}/live`);
  socket.onopen = () => { retry = 500; showLink(true); };
  socket.onmessage = (event) => receive(JSON.parse(event.data));
  socket.onclose = () => {
    showLink(false);
    setTimeout(connect, retry);
    retry = Math.min(retry * 2, 4000);
  };
}

function receive(message) {
  panel.offset = message.now - Date.now() / 1000;
  if (message.type === "hello") hello(message);
  else if (message.type === "instrument") showInstrument(message);
  else if (message.type === "channel") showChannel(message);
  else if (message.type === "log") addLog(message.entry);
}

function hello(message) {
  panel.token = message.token;
  panel.readOnly = message.readOnly;
  document.body.classList.toggle("read-only", panel.readOnly);
  $("port").textContent = message.port;
  const holder = $("channels");
  holder.replaceChildren();
  panel.cards.clear();
  for (const channel of message.channels) {
    panel.cards.set(channel.channel, makeCard(channel.channel));
    holder.append(panel.cards.get(channel.channel).root);
    panel.trend.set(channel.channel, message.trend[channel.channel] || []);
    showChannel(channel);
  }
  showInstrument(message.instrument);
  $("log").replaceChildren();
  message.log.forEach(addLog);
}

// -- the instrument and the link ----------------------------------------------------------------

function showInstrument(instrument) {
  $("version").textContent = instrument.version || "unknown";
  setWord($("online"), instrument.online === null ? "unknown" : instrument.online ? "answering" : "not answering",
          instrument.online === null ? "unknown" : instrument.online ? "good" : "bad", instrument.why);
}

function showLink(live) {
  setWord($("link"), live ? "live" : "reconnecting", live ? "good" : "bad");
  if (live) return;
  // Nothing is known while the server cannot be heard: no value stays on show.
  showInstrument({ online: null, why: "the server cannot be reached", version: null });
  for (const [ch, card] of panel.cards) {
    showChannel({ channel: ch, attenuation: null, wavelength: null, connected: null, wavelengths: card.wavelengths });
  }
}

function setWord(element, word, kind, title) {
  element.textContent = word;
  element.className = kind;
  element.title = title || "";
}

// -- channels ---------------------------------------------------------------------------------

function makeCard(ch) {
  const root = $("channel").content.firstElementChild.cloneNode(true);
  const card = { root, ch, attenuation: null, connected: null, wavelengths: null };
  for (const name of ["value", "state", "field", "wavelength", "toggle", "message", "trend"]) {
    card[name] = root.querySelector(`.${name}`);
  }
  card.shownWavelength = root.querySelector(".wavelength-shown");
  card.unit = root.querySelector(".unit");
  root.querySelector("h2").textContent = `Channel ${ch}`;
  root.setAttribute("aria-label", `Channel ${ch}`);
  card.field.setAttribute("aria-label", `Channel ${ch} attenuation (dB)`);
  root.querySelector(".set-button").setAttribute("aria-label", `Set channel ${ch}`);
  root.querySelector(".clear").setAttribute("aria-label", `Clear channel ${ch}`);
  card.wavelength.setAttribute("aria-label", `Channel ${ch} wavelength`);
  card.trend.setAttribute("aria-label", `Channel ${ch} attenuation over the last 10 minutes`);
  if (panel.readOnly) {
    root.querySelectorAll(".control").forEach((control) => control.remove());
    return card;
  }
  card.shownWavelength.hidden = true; // the selector shows it
  // What the user typed stays until it is set or let go (Escape), whatever the polls say meanwhile.
  card.field.addEventListener("input", () => { card.typed = true; });
  card.field.addEventListener("keydown", (event) => {
    if (event.key !== "Escape") return;
    card.typed = false;
    card.field.value = card.attenuation === null ? "" : card.attenuation.toFixed(2);
  });
  root.querySelector(".set").addEventListener("submit", async (event) => {
    event.preventDefault();
    if (await ask(card, { action: "attenuation", value: card.field.value.trim() })) {
      card.typed = false;
      card.field.value = card.attenuation === null ? "" : card.attenuation.toFixed(2);
    }
  });
  for (const button of root.querySelectorAll("[data-step]")) {
    const step = Number(button.dataset.step);
    button.setAttribute("aria-label", `Channel ${ch} ${step > 0 ? "up" : "down"} ${Math.abs(step) / 100} dB`);
    button.addEventListener("click", () => {
      if (card.attenuation === null) return;
      // In whole 0.01 dB steps, so that 3.5 + 0.1 is 3.60 and not 3.6000000000000005.
      const value = ((Math.round(card.attenuation * 100) + step) / 100).toFixed(2);
      ask(card, { action: "attenuation", value });
    });
  }
  root.querySelector(".clear").addEventListener("click", () => ask(card, { action: "clear" }));
  card.toggle.addEventListener("click", () => ask(card, { action: card.connected === false ? "connect" : "disconnect" }));
  card.wavelength.addEventListener("change", () => ask(card, { action: "wavelength", value: Number(card.wavelength.value) }));
  return card;
}

function showChannel(seen) {
  const card = panel.cards.get(seen.channel);
  if (!card) return;
  card.attenuation = seen.attenuation;
  card.connected = seen.connected;
  if (seen.wavelengths !== null) card.wavelengths = seen.wavelengths;
  const known = seen.connected !== null;
  card.root.classList.toggle("unknown", !known);
  card.root.classList.toggle("off", seen.connected === false);
  card.state.textContent = !known ? "unknown" : seen.connected ? "connected" : "disconnected: no light passes";
  card.value.textContent = seen.attenuation === null ? (seen.connected === false ? "off" : "—") : seen.attenuation.toFixed(2);
  card.unit.hidden = seen.attenuation === null;
  card.value.setAttribute("aria-label", seen.attenuation === null ? "attenuation unknown" : `${seen.attenuation.toFixed(2)} dB`);
  card.shownWavelength.textContent = seen.wavelength === null ? "wavelength unknown" : `${seen.wavelength} nm`;
  if (!panel.readOnly) {
    if (!card.typed && document.activeElement !== card.field) {
      card.field.value = seen.attenuation === null ? "" : seen.attenuation.toFixed(2);
    }
    card.root.querySelectorAll("[data-step]").forEach((button) => { button.disabled = seen.attenuation === null; });
    const word = seen.connected === false ? "Connect" : "Disconnect";
    card.toggle.textContent = word;
    card.toggle.setAttribute("aria-label", `${word} channel ${seen.channel}`);
    showWavelengths(card, seen.wavelength);
  }
  if (seen.point) {
    const points = panel.trend.get(seen.channel);
    if (seen.extends && points.length) points[points.length - 1] = seen.point;
    else points.push(seen.point);
  }
  drawTrend(card);
}

function showWavelengths(card, selected) {
  const listed = card.wavelengths || [];
  const key = JSON.stringify([listed, selected]);
  if (key === card.shownOptions) return; // rebuilt only on a change: an open list stays open
  card.shownOptions = key;
  const options = listed.map((nm) => new Option(`${nm} nm`, nm, false, nm === selected));
  if (selected === null || !listed.includes(selected)) {
    options.unshift(new Option(selected === null ? "unknown" : `${selected} nm`, "", true, true));
    options[0].disabled = true;
  }
  card.wavelength.replaceChildren(...options);
}

async function ask(card, request) {
  card.message.textContent = "sending…";
  card.message.className = "message";
  let answer;
  try {
    const response = await fetch(`/channels/${card.ch}`, {
      method: "POST", body: JSON.stringify(request),
      headers: { "Content-Type": "application/json", "X-Tolvan-Token": panel.token },
    });
    answer = response.ok ? "" : (await response.json()).error || `refused (${response.status})`;
  } catch (error) {
    answer = "the server cannot be reached: nothing was sent";
  }
  card.message.textContent = answer;
  card.message.className = answer ? "message refused" : "message";
  return !answer;
}

// -- the trend: a step line of the last ten minutes ---------------------------------------------

function drawTrend(card) {
  const points = panel.trend.get(card.ch);
  const now = serverNow();
  while (points.length > 1 && points[1][0] < now - TREND_SECONDS) points.shift();
  const known = points.map((p) => p[1]).filter((db) => db !== null);
  const svg = card.trend;
  svg.replaceChildren();
  if (!known.length) return;
  let low = Math.min(...known), high = Math.max(...known);
  if (high - low < 1) { const middle = (high + low) / 2; low = Math.max(0, middle - 0.5); high = low + 1; }
  const x = (t) => Math.max(0, WIDTH * (1 - (now - t) / TREND_SECONDS));
  const y = (db) => 72 - 60 * (db - low) / (high - low);
  let path = "";
  points.forEach(([t, db], i) => {
    if (db === null) return;
    const start = i > 0 && points[i - 1][1] !== null ? "H" : "M";
    const end = i + 1 < points.length ? x(points[i + 1][0]) : WIDTH;
    path += start === "M" ? `M${x(t).toFixed(1)} ${y(db).toFixed(1)}` : `H${x(t).toFixed(1)}V${y(db).toFixed(1)}`;
    path += `H${end.toFixed(1)}`;
  });
  const line = document.createElementNS("http://www.w3.org/2000/svg", "path");
  line.setAttribute("d", path);
  svg.append(line, label(3, 10, `${high.toFixed(2)} dB`), label(3, 79, `${low.toFixed(2)} dB`));
  svg.setAttribute("aria-label", `Channel ${card.ch} attenuation over the last 10 minutes: ` +
                   `${Math.min(...known).toFixed(2)} to ${Math.max(...known).toFixed(2)} dB`);
}

function label(x, y, text) {
  const element = document.createElementNS("http://www.w3.org/2000/svg", "text");
  element.setAttribute("x", x);
  element.setAttribute("y", y);
  element.textContent = text;
  return element;
}

// -- the events -----------------------------------------------------------------------------

function addLog(entry) {
  const item = document.createElement("li");
  item.className = entry.kind;
  const time = document.createElement("time");
  time.textContent = new Date(entry.t * 1000).toLocaleTimeString();
  item.append(time, ` ${entry.text}`);
  const log = $("log");
  log.prepend(item);
  while (log.children.length > 50) log.lastElementChild.remove();
}

setInterval(() => panel.cards.forEach(drawTrend), 5000);
connect();
