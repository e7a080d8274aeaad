// The live page: lists the project's PLCs and items, follows their values over the WebSocket of the link
// server, pokes items, runs or stops the PLCs' programs and Tavrel's polling, and lists the newest events; it tells
// trend.js of the items listed ("tavrel-items") and of each value that arrives ("tavrel-value"). Every
// text from the server goes into the page as text (textContent, value, title), never as markup.
"use strict";

const api = "/dde/Tavrel";
const tokenKey = "tavrel.token";

const state = {
  token: sessionStorage.getItem(tokenKey) || "",
  socket: null,
  live: false, // the WebSocket is open: the values shown are fresh
  retryMs: 500,
  retryTimer: 0,
  listing: false,
  items: new Map(), // item name -> { data, row, valueCell, input, problem }
  plcs: new Map(), // PLC name -> its element's parts
  system: new Map(), // System item name -> text
};

const $ = (id) => document.getElementById(id);

function element(tag, className, text) {
  const node = document.createElement(tag);
  if (className) node.className = className;
  if (text !== undefined) node.textContent = text;
  return node;
}

function authHeaders(extra) {
  const headers = Object.assign({}, extra);
  if (state.token) headers.Authorization = "Bearer " + state.token;
  return headers;
}

// ---- access token ----------------------------------------------------------------------------------------

function askForToken(problem) {
  closeSocket();
  stopEvents();
  $("main").hidden = true;
  $("tokenForm").hidden = false;
  $("tokenProblem").textContent = problem || "";
  setLink("refused", "Access token needed");
  $("token").focus();
}

$("tokenForm").addEventListener("submit", (event) => {
  event.preventDefault();
  state.token = $("token").value.trim();
  sessionStorage.setItem(tokenKey, state.token);
  $("token").value = "";
  start();
});

// ---- the lists -------------------------------------------------------------------------------------------

async function getJson(path) {
  const response = await fetch(path, { headers: authHeaders({ Accept: "application/json" }), cache: "no-store" });
  if (response.status === 401) {
    const reason = (await response.text()).trim();
    const error = new Error(reason);
    error.unauthorized = true;
    throw error;
  }
  if (!response.ok) throw new Error(path + ": " + response.status + " " + (await response.text()).trim());
  // A reader's token may not poke or execute: the page shows no controls that would be refused.
  const reader = response.headers.get("X-Tavrel-Role") === "reader";
  document.body.classList.toggle("reader", reader);
  $("role").hidden = !reader;
  return response.json();
}

async function start() {
  if (state.listing) return;
  state.listing = true;
  try {
    const [items, system] = await Promise.all([getJson(api + "/Items"), getJson(api + "/System")]);
    $("tokenForm").hidden = true;
    $("main").hidden = false;
    buildLists(items.items, system.items);
    openSocket();
    startEvents();
  } catch (error) {
    if (error.unauthorized) {
      askForToken(state.token ? "The token was refused: " + error.message : "");
    } else {
      scheduleReconnect();
    }
  } finally {
    state.listing = false;
  }
}

function buildLists(items, systemItems) {
  state.system.clear();
  for (const { item, value } of systemItems) state.system.set(item, value);

  const plcList = $("plcs");
  plcList.replaceChildren();
  state.plcs.clear();
  for (const { item } of systemItems) {
    if (!item.endsWith(".Connected")) continue;
    const name = item.slice(0, -".Connected".length);
    const entry = element("li", "plc");
    const title = element("span", "plcName", name);
    const status = element("span", "plcState");
    const error = element("span", "plcError");
    const problem = element("span", "problem");
    problem.setAttribute("role", "alert");
    // The PLC's own program, unlike the polling of the buttons at the top.
    const run = element("button", "act", "Run PLC");
    const stop = element("button", "act stop", "Stop PLC");
    run.type = stop.type = "button";
    run.addEventListener("click", () =>
      execute(name + "_RUN", "Run PLC " + name + "? Its program starts running.", problem));
    stop.addEventListener("click", () =>
      execute(name + "_STOP", "Stop PLC " + name + "? Its program stops running.", problem));
    const buttons = element("span", "buttons");
    buttons.append(run, stop);
    entry.append(title, status, buttons, error, problem);
    plcList.append(entry);
    state.plcs.set(name, { status, error, entry });
  }

  const body = $("items").tBodies[0];
  body.replaceChildren();
  state.items.clear();
  for (const data of items) {
    const row = element("tr");
    const valueCell = element("td", "value");
    const setCell = element("td", "set");
    const entry = { data, row, valueCell, input: null, problem: null };
    if (data.direction !== "Read" && data.enabled) {
      const input = element("input");
      input.type = "text";
      input.setAttribute("aria-label", "New value of " + data.item);
      input.value = data.value;
      input.addEventListener("keydown", (event) => {
        if (event.key === "Enter") {
          event.preventDefault();
          poke(entry);
        } else if (event.key === "Escape") {
          showRefusal(entry, "");
          input.dataset.dirty = "";
          input.value = entry.data.value;
        }
      });
      // A refusal stays beside the text it refused until that text changes.
      input.addEventListener("input", () => {
        input.dataset.dirty = "1";
        showRefusal(entry, "");
      });
      entry.input = input;
      entry.problem = element("span", "problem");
      entry.problem.setAttribute("role", "alert");
      const field = element("div", "field");
      field.append(input, entry.problem);
      setCell.append(field);
    }
    row.append(
      element("td", "name", data.item),
      element("td", "plcCol", data.plc),
      // An item's tag name, when it has one, beside its operand; its description as the cell's tip.
      operandCell(data),
      valueCell,
      setCell
    );
    body.append(row);
    state.items.set(data.item, entry);
    showValue(entry);
  }
  renderPlcs();
  applyFilter();
  document.dispatchEvent(new CustomEvent("tavrel-items", { detail: items }));
}

function operandCell(data) {
  const cell = element("td", "operand", data.operand + " " + data.address);
  if (data.name) {
    cell.append(element("span", "tag", data.name));
  }
  if (data.description) {
    cell.title = data.description;
  }
  return cell;
}

// ---- values and states -----------------------------------------------------------------------------------

function plcState(name) {
  return {
    connected: state.system.get(name + ".Connected") === "1",
    answered: state.system.get(name + ".Answered") === "1",
    // "0" only when the PLC said its program is stopped; unknown ("" or no such item) says nothing.
    inStop: state.system.get(name + ".PlcRunning") === "0",
    error: state.system.get(name + ".LastError") || "",
  };
}

function showValue(entry) {
  const plc = plcState(entry.data.plc);
  const cell = entry.valueCell;
  // A PLC that has not answered in this run has no value to show; one that answered and was lost, or a link
  // that is down, leaves values that are no longer refreshed.
  // The quality the server gave with the value: a bad item, or a value of a run that is over, is grey too.
  const quality = entry.data.quality || "good";
  const stale = !state.live || !plc.connected || quality === "stale" || quality === "bad";
  cell.textContent = plc.answered ? entry.data.value : "";
  if (plc.answered && entry.data.units) {
    cell.append(element("span", "units", entry.data.units));
  }
  cell.classList.toggle("stale", plc.answered && stale);
  const read = entry.data.ts ? "Read " + new Date(entry.data.ts).toLocaleString() + " (" + entry.data.ts + ")" : "";
  const why = !plc.answered
    ? "No value yet: " + entry.data.plc + " has not answered" + (plc.error ? ": " + plc.error : "")
    : !state.live
      ? "Stale: the connection to Tavrel is lost"
      : !plc.connected
        ? "Stale: " + entry.data.plc + " is not connected" + (plc.error ? ": " + plc.error : "")
        : quality !== "good"
          ? quality[0].toUpperCase() + quality.slice(1) + (entry.data.reason ? ": " + entry.data.reason : "")
          : "";
  cell.title = plc.answered && read ? (why ? why + "\n" + read : read) : why;
  if (entry.input && !entry.input.dataset.dirty && document.activeElement !== entry.input) {
    entry.input.value = plc.answered ? entry.data.value : "";
  }
}

function renderPlcs() {
  for (const [name, parts] of state.plcs) {
    const plc = plcState(name);
    const running = state.system.get("Running") === "1";
    let text;
    let kind;
    let hint = "";
    if (!running && !plc.answered) {
      [text, kind] = ["not polled", "idle"];
    } else if (!plc.connected) {
      [text, kind] = ["not connected", "bad"];
    } else if (plc.inStop) {
      [text, kind] = ["PLC in STOP", "halted"];
      hint = "The PLC answers, but its program is stopped; Run PLC starts it again";
    } else if (!plc.answered) {
      [text, kind] = ["waiting for an answer", "idle"];
    } else {
      [text, kind] = ["connected", "good"];
    }
    parts.status.textContent = text;
    parts.status.title = hint;
    parts.entry.dataset.state = kind;
    parts.error.textContent = plc.error;
  }
  // The OPC UA server's endpoint, for a SCADA's configuration, and the sessions it serves.
  const endpoint = state.system.get("OpcUaEndpoint") || "";
  const sessions = Number(state.system.get("OpcUaSessions") || 0);
  $("opcua").hidden = endpoint === "";
  $("opcua").textContent = `OPC UA ${endpoint} · ${sessions} session${sessions === 1 ? "" : "s"}`;
  const running = state.system.get("Running") === "1";
  const passMs = state.system.get("PassMs");
  $("program").textContent = running ? "Polling" + (passMs ? " · pass " + passMs + " ms" : "") : "Not polling";
  const button = $("programRun");
  button.hidden = false;
  button.textContent = running ? "Stop polling" : "Start polling";
  button.classList.toggle("stop", running);
}

// Tavrel_RUN and Tavrel_STOP rather than the toggle: two pages open at once cannot undo each other.
$("programRun").addEventListener("click", () => {
  if (state.system.get("Running") === "1") {
    execute("Tavrel_STOP", "Stop polling? Tavrel stops reading and writing every PLC.", $("programProblem"));
  } else {
    execute("Tavrel_RUN", "Start polling every PLC?", $("programProblem"));
  }
});

function refreshAll() {
  renderPlcs();
  for (const entry of state.items.values()) showValue(entry);
}

function applyFilter() {
  const words = $("filter").value.toLowerCase().split(/\s+/).filter(Boolean);
  for (const entry of state.items.values()) {
    const text = entry.row.textContent.toLowerCase();
    entry.row.hidden = !words.every((word) => text.includes(word));
  }
}
$("filter").addEventListener("input", applyFilter);

// ---- commands --------------------------------------------------------------------------------------------

function showRefusal(entry, reason) {
  entry.problem.textContent = reason;
  if (reason) entry.input.setAttribute("aria-invalid", "true");
  else entry.input.removeAttribute("aria-invalid");
}

// A refused text stays in the field, the reason beside it, so that it can be corrected rather than typed again.
async function poke(entry) {
  const input = entry.input;
  const text = input.value;
  showRefusal(entry, "");
  try {
    const response = await fetch(api + "/Items/" + encodeURIComponent(entry.data.item), {
      method: "PUT",
      headers: authHeaders({ "Content-Type": "text/plain; charset=utf-8" }),
      body: text,
    });
    if (response.status === 401) {
      askForToken("The token was refused: " + (await response.text()).trim());
      return;
    }
    if (!response.ok) {
      showRefusal(entry, (await response.text()).trim() || "refused (" + response.status + ")");
      pollEventsSoon();
      return;
    }
    input.dataset.dirty = "";
    input.blur();
  } catch (error) {
    showRefusal(entry, "not sent: Tavrel cannot be reached");
  }
}

// Sends an execute command once the user agrees; a refusal's reason shows in `problem` until the next command
// from there is taken.
async function execute(command, question, problem) {
  if (!window.confirm(question)) return;
  problem.textContent = "";
  try {
    const response = await fetch(api + "/Items", {
      method: "POST",
      headers: authHeaders({ "Content-Type": "text/plain; charset=utf-8" }),
      body: command,
    });
    if (response.status === 401) askForToken("The token was refused: " + (await response.text()).trim());
    else if (!response.ok) problem.textContent = (await response.text()).trim() || command + " refused (" + response.status + ")";
    else pollEventsSoon();
  } catch (error) {
    problem.textContent = command + " not sent: Tavrel cannot be reached";
  }
}

// ---- events ----------------------------------------------------------------------------------------------

// The newest events of GET /Events, newest first, asked for every 2 s with after= the last seen. A page kept
// open over a restart of Tavrel notices by the numbers starting again, and keeps the earlier events below.
const eventsKept = 200;
const events = {
  on: false, // asked for while the lists are in
  timer: 0,
  busy: false, // a request is under way
  soon: false, // and another is wanted right after it
  restart: false, // the next answer may come from a Tavrel started again
  lastSeq: 0,
  lastTs: "",
  unseen: 0, // arrived while the panel was closed
  trouble: false, // the note tells why the list is not read
};

const pad = (n, width = 2) => String(n).padStart(width, "0");
function localTime(ts) {
  const at = new Date(ts);
  if (Number.isNaN(at.getTime())) return { day: "", time: ts, full: ts };
  const day = at.getFullYear() + "-" + pad(at.getMonth() + 1) + "-" + pad(at.getDate());
  const time = pad(at.getHours()) + ":" + pad(at.getMinutes()) + ":" + pad(at.getSeconds());
  return { day, time, full: day + " " + time + "." + pad(at.getMilliseconds(), 3) };
}

function startEvents() {
  events.on = true;
  events.restart = true;
  pollEventsSoon();
}

function stopEvents() {
  events.on = false;
  clearTimeout(events.timer);
}

function pollEventsSoon() {
  if (!events.on) return;
  clearTimeout(events.timer);
  events.timer = setTimeout(pollEvents, 0);
}

function eventsNote(text, trouble = true) {
  $("eventsNote").textContent = text;
  events.trouble = trouble && text !== "";
}

async function pollEvents() {
  if (!events.on) return;
  if (events.busy) {
    events.soon = true;
    return;
  }
  events.busy = true;
  let again = true;
  const fromStart = events.restart;
  try {
    const after = fromStart ? 0 : events.lastSeq;
    const response = await fetch(api + "/Events?after=" + after, {
      headers: authHeaders({ Accept: "application/json" }),
      cache: "no-store",
    });
    if (response.status === 404) {
      eventsNote("This Tavrel keeps no list of events");
      again = false; // asked again when the page connects again
    } else if (response.status === 401) {
      again = false;
      askForToken("The token was refused: " + (await response.text()).trim());
    } else if (!response.ok) {
      eventsNote("Events not read: " + response.status + " " + (await response.text()).trim());
    } else {
      takeEvents((await response.json()).events || [], fromStart);
      if (events.trouble) eventsNote("");
    }
  } catch (error) {
    eventsNote("Tavrel cannot be reached; the list goes on when it is back");
    again = state.live; // otherwise the page's reconnection starts the events again
  } finally {
    events.busy = false;
  }
  if (again && events.on) {
    clearTimeout(events.timer);
    events.timer = setTimeout(pollEvents, events.soon ? 0 : 2000);
  }
  events.soon = false;
}

function takeEvents(list, fromStart) {
  if (fromStart) {
    // All of the newest: those already shown are left out, unless their numbers now name other events.
    events.restart = false;
    const same = list.find((one) => one.seq === events.lastSeq);
    const newest = list.length ? list[list.length - 1].seq : 0;
    if ((same && same.ts !== events.lastTs) || (!same && newest < events.lastSeq)) events.lastSeq = 0;
  }
  const first = events.lastSeq === 0 && !$("eventList").children.length; // not news: what the page opens with
  const fresh = list.filter((one) => Number.isInteger(one.seq) && one.seq > events.lastSeq);
  if (!fresh.length) return;
  const newest = fresh[fresh.length - 1];
  events.lastSeq = newest.seq;
  events.lastTs = newest.ts;

  const today = localTime(Date.now()).day;
  const rows = document.createDocumentFragment();
  for (const one of fresh.reverse()) {
    const when = localTime(String(one.ts));
    const row = element("li");
    const time = element("time", "", when.day === today ? when.time : when.full);
    time.dateTime = String(one.ts);
    time.title = when.full;
    row.dataset.line = when.full + "  " + one.kind + "  " + one.text;
    row.append(time, " ", element("span", "kind", String(one.kind)), " ", element("span", "text", String(one.text)));
    rows.append(row);
  }
  const shown = $("eventList");
  shown.prepend(rows);
  while (shown.children.length > eventsKept) shown.lastChild.remove();

  if (!$("events").open && !first) {
    events.unseen += fresh.length;
    $("eventsNew").textContent = events.unseen + " new";
  }
}

$("events").addEventListener("toggle", () => {
  if ($("events").open) {
    events.unseen = 0;
    $("eventsNew").textContent = "";
  }
  localStorage.setItem("tavrel.eventsOpen", $("events").open ? "1" : "0");
});
if (localStorage.getItem("tavrel.eventsOpen") === "0") $("events").open = false;

// The list as lines of text, as shown: newest first. The clipboard of the browser is there only for pages of
// https or of this machine; elsewhere the copy goes through a selection.
$("copyEvents").addEventListener("click", async () => {
  const lines = [...$("eventList").children].map((row) => row.dataset.line);
  const text = lines.join("\n") + (lines.length ? "\n" : "");
  let copied = false;
  if (navigator.clipboard && window.isSecureContext) {
    try {
      await navigator.clipboard.writeText(text);
      copied = true;
    } catch {}
  }
  if (!copied) {
    const scratch = element("textarea");
    scratch.value = text;
    scratch.setAttribute("readonly", "");
    scratch.className = "scratch";
    document.body.append(scratch);
    scratch.select();
    copied = document.execCommand("copy");
    scratch.remove();
  }
  const said = copied ? "Copied " + lines.length + (lines.length === 1 ? " event" : " events")
                      : "Not copied: select the list and copy it";
  eventsNote(said, false);
  setTimeout(() => $("eventsNote").textContent === said && eventsNote(""), 4000);
});

// ---- the WebSocket ---------------------------------------------------------------------------------------

function setLink(kind, text) {
  const link = $("link");
  link.className = "link " + kind;
  link.textContent = text;
}

function closeSocket() {
  clearTimeout(state.retryTimer);
  if (state.socket) {
    state.socket.onclose = state.socket.onmessage = state.socket.onopen = null;
    state.socket.close();
    state.socket = null;
  }
  state.live = false;
}

function openSocket() {
  closeSocket();
  const scheme = location.protocol === "https:" ? "wss://" : "ws://";
  const query = state.token ? "?token=" + encodeURIComponent(state.token) : "";
  const socket = new WebSocket(scheme + location.host + api + "/Items" + query);
  state.socket = socket;
  setLink("connecting", "Connecting…");
  socket.onopen = () => {
    state.live = true;
    state.retryMs = 500;
    setLink("live", "Live");
    for (const name of state.items.keys()) socket.send(JSON.stringify({ op: "advise", item: name }));
    for (const name of state.system.keys()) {
      socket.send(JSON.stringify({ op: "advise", topic: "System", item: name }));
    }
    refreshAll();
  };
  socket.onmessage = (event) => {
    let message;
    try {
      message = JSON.parse(event.data);
    } catch {
      return;
    }
    for (const one of Array.isArray(message) ? message : [message]) take(one);
  };
  socket.onclose = (event) => {
    const wasLive = state.live;
    state.socket = null;
    state.live = false;
    refreshAll();
    // A refused upgrade shows only as a close: the next try asks over HTTP first, which tells a wrong token.
    if (wasLive) state.retryMs = 500;
    // 1001: Tavrel said it was stopping, rather than the connection failing.
    scheduleReconnect(event.code === 1001 ? "Tavrel stopped" : "Connection lost");
  };
}

function scheduleReconnect(what = "Connection lost") {
  clearTimeout(state.retryTimer);
  const delay = state.retryMs;
  state.retryMs = Math.min(state.retryMs * 2, 10000);
  setLink("lost", what + ", retrying in " + Math.round(delay / 1000) + " s");
  // The lists are read again: the project may have changed while the page was away.
  state.retryTimer = setTimeout(start, delay);
}

let relistTimer = 0;
function relistSoon() {
  clearTimeout(relistTimer);
  relistTimer = setTimeout(start, 300);
}

function take(message) {
  if (message.op === "ended") {
    relistSoon(); // an item went away: the project changed
    return;
  }
  if (typeof message.item !== "string" || typeof message.value !== "string") return;
  if (message.topic === "System") {
    const known = state.system.has(message.item);
    const before = state.system.get(message.item);
    state.system.set(message.item, message.value);
    if (!known) return;
    // A run starts on the project as it is then: the list is read again.
    if (message.item === "Running" && message.value === "1" && before !== "1") relistSoon();
    renderPlcs();
    const dot = message.item.lastIndexOf(".");
    const plc = message.item.slice(0, Math.max(dot, 0));
    if (state.plcs.has(plc) && ["Connected", "Answered", "LastError"].includes(message.item.slice(dot + 1))) {
      for (const entry of state.items.values()) if (entry.data.plc === plc) showValue(entry);
    }
    return;
  }
  const entry = state.items.get(message.item);
  if (!entry) return;
  entry.data.value = message.value;
  if (typeof message.ts === "string") entry.data.ts = message.ts;
  if (typeof message.quality === "string") {
    entry.data.quality = message.quality;
    entry.data.reason = typeof message.reason === "string" ? message.reason : "";
  }
  showValue(entry);
  document.dispatchEvent(new CustomEvent("tavrel-value", { detail: message }));
}

start();
