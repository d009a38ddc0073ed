// The status page: one HTML document with its own style and script, no outside resource.
// It lists the scales from /v1/scales and follows them all through one event stream.
// With a bearer token, open it as /#token=TOKEN: the fragment never leaves the browser.
// It speaks Brazilian Portuguese or English, as the browser asks, with a switch that is remembered.
#include "status_page.hpp"

namespace Wsr37100::service {

namespace {

constexpr std::string_view kPage = R"html(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>wsr37100</title>
<style>
  * { box-sizing: border-box; }
  body { font-family: system-ui, sans-serif; margin: 0; background: #f4f5f7; color: #1d2129; }
  header { position: sticky; top: 0; z-index: 1; background: #243447; color: #fff; padding: 10px 20px;
           display: flex; flex-wrap: wrap; align-items: center; gap: 8px 16px; }
  header h1 { font-size: 18px; margin: 0; font-weight: 600; flex: 1 1 auto; }
  #link { font-size: 14px; padding: 3px 10px; border-radius: 4px; background: #3b5068; }
  #link.live { background: #2e7d32; }
  #link.down { background: #c62828; font-weight: 600; }
  #language { font: inherit; font-size: 13px; background: transparent; color: #fff; border: 1px solid #8fa3b8;
              border-radius: 4px; padding: 3px 10px; cursor: pointer; }
  #scales { display: grid; grid-template-columns: repeat(auto-fill, minmax(min(100%, 260px), 1fr)); gap: 16px; padding: 16px; }
  .scale { background: #fff; border-radius: 8px; box-shadow: 0 1px 3px rgba(0,0,0,.15); padding: 16px 20px; min-width: 0;
           border-top: 4px solid #c9ced6; scroll-margin-top: 64px; overflow-wrap: anywhere; }
  .scale.good { border-top-color: #2e7d32; } .scale.wait { border-top-color: #e0a800; } .scale.bad { border-top-color: #c62828; }
  .scale h2 { font-size: 16px; margin: 0 0 4px; }
  .port { color: #667; font-size: 12px; }
  .weight { font-size: clamp(32px, 10vw, 44px); font-variant-numeric: tabular-nums; margin: 12px 0 4px; white-space: nowrap; }
  .state { display: inline-block; border-radius: 4px; padding: 2px 8px; font-size: 13px; background: #dde; }
  .state.good { background: #cdeccd; } .state.wait { background: #fbe7b5; } .state.bad { background: #f6c9c9; }
  .advice { font-size: 14px; margin: 8px 0 0; }
  .detail, .time { color: #667; font-size: 12px; margin: 6px 0 0; }
  .detail:empty, .advice:empty { display: none; }
  .scale.stale { background: #eceef1; border-top: 4px dashed #5f6b7a; box-shadow: none; }
  .scale.stale .weight { color: #8a939e; text-decoration: line-through; }
  .scale.stale .state { background: #5f6b7a; color: #fff; font-weight: 600; }
  #refused { margin: 16px 16px 0; padding: 0; list-style: none; }
  #refused li { background: #fff3cd; border-left: 4px solid #e0a800; padding: 8px 12px; margin-bottom: 8px; font-size: 14px; }
  #refused code { background: #fff; padding: 0 4px; }
</style>
</head>
<body>
<header><h1 id="title">Scales</h1><span id="link" role="status">connecting</span>
<button id="language" type="button"></button></header>
<ul id="refused" role="alert"></ul>
<main id="scales"></main>
<script>
"use strict";
// The bearer token, given as /#token=TOKEN when the page is opened or later (the fragment changes, the
// page does not reload): kept for this tab only (sessionStorage), and taken out of the address bar.
let token = null;
try { token = sessionStorage.getItem("wsr37100.token"); } catch (error) { /* not kept */ }
function takeToken() {
  const given = new URLSearchParams(location.hash.slice(1)).get("token");
  if (given === null) return false;
  token = given || null;
  try {
    if (token) sessionStorage.setItem("wsr37100.token", token); else sessionStorage.removeItem("wsr37100.token");
  } catch (error) { /* kept while the page is open */ }
  history.replaceState(null, "", location.pathname + location.search);
  return true;
}
takeToken();
function auth() { return token ? { Authorization: "Bearer " + token } : {}; }

// The page's own words. A state, reason or cause the page does not know is shown as its code.
const words = {
  "en": {
    other: "Português", title: "Scales", connecting: "connecting…", live: "live",
    down: "No connection to the service — nothing shown is live",
    denied: "Access denied — open the page as /#token=YOUR-TOKEN",
    http: "The service answered HTTP ",
    baud: " baud", system: "System's reason: ",
    log: "Its log cannot be written (readings go on): ",
    changed: (time, ago) => "Changed at " + time + " (" + ago + ")",
    ago: (amount) => amount === null ? "just now" : amount + " ago",
    refused: (origin, count) => ["A web page that says it is at " + origin + " asked for the scales " + count +
      (count === 1 ? " time" : " times") + " and was refused. That address is only what the page claimed, " +
      "and any program on this computer can claim one: allow it only if it is your own point of sale, " +
      "by starting the service with ", "--allow-origin " + origin, " (guide: web point of sale, Local Network Access). " +
      "A page shown in a portal's frame sends its own address, not the portal's: the browser's policy lists the " +
      "portal's too (browser-policy --framed-by)."],
    stale: "No connection", staleAdvice: "Last value received; the service does not answer, so it may have changed.",
    states: {
      "weight": ["Stable weight", ""],
      "unstable": ["Moving", "The weight is not steady yet — wait for the scale to settle."],
      "negative": ["Below zero", "The scale reads below zero — empty the pan and zero it."],
      "overload": ["Overload", "Too much weight for this scale — take some off."],
      "unreadable": ["Unreadable reply", "The scale answered something that is not a weight — check its baud rate and frame."],
      "no-reading": ["No reading", "No reading from the scale."],
      "failure": ["Failure", "The service could not read this scale."],
      "starting": ["Starting", "Waiting for the first reading."],
    },
    reasons: {
      "port-unavailable": "The scale's port cannot be opened.",
      "poll-failed": "The connection to the scale was lost — check the cable.",
      "silence": "The scale does not answer — check that it is on and its cable is plugged in.",
      "partial-replies": "The scale's replies arrive cut short — check the cable and the baud rate.",
    },
    causes: {
      "missing": "Scale not found — check the cable.",
      "permission": "No permission to open the scale's port — the service's user must be allowed to use it.",
      "busy": "Another program is using the scale's port — close it.",
      "settings-refused": "The port refused its settings — check the baud rate.",
      "name-refused": "That is not a serial port — check the port in the configuration.",
      "host-not-found": "The scale's network address was not found — check its name.",
      "connection-refused": "The scale's network adapter refuses the connection — check that it is on and the port number.",
      "connect-timeout": "The scale's network adapter does not answer — check that it is on and connected.",
      "connection-dropped": "The connection to the scale's network adapter dropped — check the network.",
    },
  },
  "pt-BR": {
    other: "English", title: "Balanças", connecting: "conectando…", live: "ao vivo",
    down: "Sem conexão com o serviço — nada do que aparece é ao vivo",
    denied: "Acesso negado — abra a página como /#token=SEU-TOKEN",
    http: "O serviço respondeu HTTP ",
    baud: " baud", system: "Motivo do sistema: ",
    log: "O log não pode ser gravado (as leituras continuam): ",
    changed: (time, ago) => "Alterado às " + time + " (" + ago + ")",
    ago: (amount) => amount === null ? "agora" : "há " + amount,
    refused: (origin, count) => ["Uma página web que se diz de " + origin + " pediu as balanças " + count +
      (count === 1 ? " vez" : " vezes") + " e foi recusada. Esse endereço é só o que a página alegou, " +
      "e qualquer programa neste computador pode alegar um: permita-o só se for o seu próprio ponto de venda, " +
      "iniciando o serviço com ",
      "--allow-origin " + origin, " (guia: ponto de venda web, Local Network Access). " +
      "Uma página mostrada num quadro de um portal envia o próprio endereço, não o do portal: a política do " +
      "navegador lista também o do portal (browser-policy --framed-by)."],
    stale: "Sem conexão", staleAdvice: "Último valor recebido; o serviço não responde, então ele pode ter mudado.",
    states: {
      "weight": ["Peso estável", ""],
      "unstable": ["Em movimento", "O peso ainda não estabilizou — aguarde a balança parar."],
      "negative": ["Abaixo de zero", "A balança marca abaixo de zero — esvazie o prato e zere a balança."],
      "overload": ["Sobrecarga", "Peso acima da capacidade da balança — retire parte dele."],
      "unreadable": ["Resposta ilegível", "A balança respondeu algo que não é um peso — confira a velocidade (baud) e o quadro."],
      "no-reading": ["Sem leitura", "Nenhuma leitura da balança."],
      "failure": ["Falha", "O serviço não conseguiu ler esta balança."],
      "starting": ["Iniciando", "Aguardando a primeira leitura."],
    },
    reasons: {
      "port-unavailable": "A porta da balança não pode ser aberta.",
      "poll-failed": "A comunicação com a balança caiu — verifique o cabo.",
      "silence": "A balança não responde — verifique se está ligada e se o cabo está conectado.",
      "partial-replies": "As respostas da balança chegam incompletas — verifique o cabo e a velocidade (baud).",
    },
    causes: {
      "missing": "Balança não encontrada — verifique o cabo.",
      "permission": "Sem permissão para abrir a porta da balança — o usuário do serviço precisa ter acesso a ela.",
      "busy": "Outro programa está usando a porta da balança — feche-o.",
      "settings-refused": "A porta recusou a configuração — confira a velocidade (baud).",
      "name-refused": "Isso não é uma porta serial — confira a porta na configuração.",
      "host-not-found": "O endereço de rede da balança não foi encontrado — confira o nome.",
      "connection-refused": "O adaptador de rede da balança recusa a conexão — verifique se está ligado e o número da porta.",
      "connect-timeout": "O adaptador de rede da balança não responde — verifique se está ligado e conectado.",
      "connection-dropped": "A conexão com o adaptador de rede da balança caiu — verifique a rede.",
    },
  },
};
const tone = { "weight": "good", "unstable": "wait", "starting": "wait" };

function stored() { try { return localStorage.getItem("wsr37100.language"); } catch (error) { return null; } }
function chosen() {
  const saved = stored();
  if (saved && words[saved]) return saved;
  for (const wanted of navigator.languages || [navigator.language || ""]) {
    const lower = String(wanted).toLowerCase();
    if (lower.startsWith("pt")) return "pt-BR";
    if (lower.startsWith("en")) return "en";
  }
  return "en";
}
let language = chosen();
const say = () => words[language];
const own = (table, key) => typeof key === "string" && Object.prototype.hasOwnProperty.call(table, key) ? table[key] : null;

// Liveness. The stream tells a reading once, when it changes (a steady weight keeps its time), so a
// reading's age says how long the scale has held it, never whether it is current: only the service's
// answers say that. The stream's keep-alives are comments a page never sees, so the page asks
// /v1/scales every few seconds as well; with no answer for a while, nothing shown is live.
const kAskEvery = 4000, kAskLimit = 3500, kSilenceLimit = 10000;
const kFirstWait = 3000;  // "connecting" before the first stream opens, then "no connection"
let events = null, heard = -Infinity, problem = null, opened = false;
const none = () => Object.create(null);  // keyed by scale names, whatever they are
const scales = none();  // name -> { data, root }
let streamed = none();  // name -> the latest change the current stream told
let asked = none();     // name -> the change the service's previous answer told

function isLive() {
  return events !== null && events.readyState === EventSource.OPEN && performance.now() - heard < kSilenceLimit;
}

function connecting() { return !opened && !problem && performance.now() < kFirstWait; }

function text(element, value) { if (element.textContent !== value) element.textContent = value; }

function card(name) {
  if (scales[name]) return scales[name];
  const root = document.createElement("section");
  root.className = "scale";
  root.id = "scale-" + name;
  for (const [tag, kind] of [["h2", ""], ["div", "port"], ["div", "weight"], ["span", "state"], ["p", "advice"],
                             ["p", "detail"], ["p", "time"]]) {
    const part = document.createElement(tag);
    if (kind) part.className = kind;
    root.appendChild(part);
  }
  document.getElementById("scales").appendChild(root);
  scales[name] = { data: null, root };
  return scales[name];
}

function weightText(reading) {
  if (!reading || reading.kind !== "weight" || typeof reading.weight !== "number" || !isFinite(reading.weight)) return "—";
  return reading.weight.toLocaleString(language, { minimumFractionDigits: 3, maximumFractionDigits: 3, useGrouping: false }) + " kg";
}

function advice(data) {
  const reading = data.reading || {};
  if (data.state === "no-reading") return own(say().causes, reading.cause) || own(say().reasons, reading.reason) || say().states["no-reading"][1];
  const known = own(say().states, data.state);
  // A failure says what failed (a log that cannot be written, a stalled monitor), in the module's words.
  const told = data.state === "failure" && typeof reading.message === "string" ? reading.message : "";
  return [known ? known[1] : "", told].filter(Boolean).join(" ");
}

function ago(seconds) {
  if (seconds < 1) return say().ago(null);
  if (seconds < 60) return say().ago(Math.floor(seconds) + " s");
  if (seconds < 3600) return say().ago(Math.floor(seconds / 60) + " min");
  if (seconds < 86400) return say().ago(Math.floor(seconds / 3600) + " h");
  return say().ago(Math.floor(seconds / 86400) + " d");
}

function changedText(reading) {
  const at = new Date(reading && typeof reading.time === "string" ? reading.time : NaN);
  if (isNaN(at)) return "";
  const today = at.toDateString() === new Date().toDateString();
  const time = today ? at.toLocaleTimeString(language) : at.toLocaleString(language);
  return say().changed(time, ago(Math.max(0, (Date.now() - at.getTime()) / 1000)));
}

function render(name) {
  const { data, root } = scales[name];
  if (!data) return;
  const live = isLive();
  const reading = data.reading;
  const state = String(data.state);
  const known = own(say().states, state);
  text(root.querySelector("h2"), String(data.name));
  text(root.querySelector(".port"), String(data.port) + " · " + String(data.baud) + say().baud);
  text(root.querySelector(".weight"), weightText(reading));
  const tag = root.querySelector(".state");
  const look = live ? (tone[state] || "bad") : "";
  root.className = "scale" + (live ? " " + look : " stale");
  root.dataset.state = state;
  root.dataset.live = live ? "yes" : "no";
  tag.className = "state" + (live ? " " + look : "");
  text(tag, live ? (known ? known[0] : state) : connecting() ? say().connecting : say().stale);
  text(root.querySelector(".advice"), live ? advice(data) : connecting() ? "" : say().staleAdvice);
  const message = reading && typeof reading.message === "string" ? reading.message : "";
  const log = typeof data.log_failure === "string" ? say().log + data.log_failure : "";
  text(root.querySelector(".detail"), [message ? say().system + message : "", log].filter(Boolean).join(" "));
  text(root.querySelector(".time"), changedText(reading));
}

// The web pages refused for their origin, the most-seen first, each with the option that lets it in.
let refused = [];
function renderRefused() {
  const list = document.getElementById("refused");
  const items = refused.filter((each) => each && typeof each.origin === "string").map((each) => {
    const [before, option, after] = say().refused(each.origin, Number(each.requests) || 1);
    const item = document.createElement("li");
    const code = document.createElement("code");
    code.textContent = option;
    item.append(before, code, after);
    return item;
  });
  if (list.textContent !== items.map((item) => item.textContent).join("")) list.replaceChildren(...items);
}

function renderAll() {
  const link = document.getElementById("link");
  const live = isLive();
  link.className = live ? "live" : connecting() ? "" : "down";
  text(link, live ? say().live : problem || (connecting() ? say().connecting : say().down));
  document.documentElement.lang = language;
  text(document.getElementById("title"), say().title);
  document.title = say().title + " — wsr37100";
  text(document.getElementById("language"), say().other);
  renderRefused();
  Object.keys(scales).forEach(render);
}

function show(data) {
  if (!data || typeof data.name !== "string") return;
  card(data.name).data = data;
  render(data.name);
}

function follow() {
  // One stream for every scale: a browser keeps only six connections open to one host.
  if (events) events.close();
  let url = "/v1/events";
  if (token) url += "?access_token=" + encodeURIComponent(token);
  events = new EventSource(url);
  const mine = events;
  events.addEventListener("reading", (event) => {
    if (mine !== events) return;
    heard = performance.now();
    let data = null;
    try { data = JSON.parse(event.data); } catch (error) { return; }
    if (data && typeof data.name === "string") streamed[data.name] = Number(data.change) || 0;
    show(data);
  });
  // On each connection the stream tells every scale's latest again, numbered anew if the service started again.
  events.onopen = () => {
    if (mine !== events) return;
    heard = performance.now();
    problem = null;
    opened = true;
    streamed = none();
    asked = none();
    renderAll();
  };
  // The browser tries again by itself, unless the service answered something other than a stream.
  events.onerror = () => { if (mine === events) renderAll(); };
}

async function ask() {
  const stop = new AbortController();
  const timer = setTimeout(() => stop.abort(), kAskLimit);
  try {
    const response = await fetch("/v1/scales", { headers: auth(), cache: "no-store", signal: stop.signal });
    if (!response.ok) {
      problem = response.status === 401 ? say().denied : say().http + response.status;
      return;
    }
    const list = await response.json();
    if (!list || !Array.isArray(list.scales)) return;
    refused = Array.isArray(list.refused_origins) ? list.refused_origins : [];
    heard = performance.now();
    problem = null;
    const listed = new Set();
    let lagging = false;
    for (const data of list.scales) {
      if (!data || typeof data.name !== "string") continue;
      listed.add(data.name);
      if (!scales[data.name] || !scales[data.name].data) show(data);
      // A stream that has still not told a change the service had made by its previous answer, one
      // period ago, delivers nothing any more: it is opened again. (A scale in motion changes all
      // the time, so an answer is often a change or two ahead of the stream; that is no lag.)
      const open = events !== null && events.readyState === EventSource.OPEN;
      if (open && data.name in asked && (streamed[data.name] || 0) < asked[data.name]) lagging = true;
      asked[data.name] = Number(data.change) || 0;
    }
    for (const name of Object.keys(scales)) {
      if (!listed.has(name)) { scales[name].root.remove(); delete scales[name]; }
    }
    if (lagging || events === null || events.readyState === EventSource.CLOSED) follow();
  } catch (error) {
    // No answer: the time since the last one tells.
  } finally {
    clearTimeout(timer);
    renderAll();
  }
}

document.getElementById("language").addEventListener("click", () => {
  language = language === "en" ? "pt-BR" : "en";
  try { localStorage.setItem("wsr37100.language", language); } catch (error) { /* not remembered */ }
  renderAll();
});

window.addEventListener("hashchange", () => {
  if (!takeToken()) return;
  problem = null;
  follow();
  ask();
});

renderAll();
ask();
setInterval(ask, kAskEvery);
setInterval(renderAll, 1000);
</script>
</body>
</html>
)html";

}  // namespace

std::string_view status_page() { return kPage; }

}  // namespace Wsr37100::service
