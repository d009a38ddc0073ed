// The status page: one HTML document with its own style and script, no outside resource.
// It lists the scales from /v1/scales and follows them all through one event stream.
// With a bearer token, open it as /#token=TOKEN: the fragment never leaves the browser.
#include "status_page.hpp"

namespace Wsr37100::service {

namespace {

constexpr std::string_view kPage = R"html(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>wsr37100 scales</title>
<style>
  body { font-family: system-ui, sans-serif; margin: 0; background: #f4f5f7; color: #1d2129; }
  header { background: #243447; color: #fff; padding: 12px 20px; display: flex; justify-content: space-between; }
  header h1 { font-size: 18px; margin: 0; font-weight: 600; }
  #scales { display: flex; flex-wrap: wrap; gap: 16px; padding: 20px; }
  .scale { background: #fff; border-radius: 8px; box-shadow: 0 1px 3px rgba(0,0,0,.15); padding: 16px 20px; min-width: 260px; }
  .scale h2 { font-size: 16px; margin: 0 0 4px; }
  .port { color: #667; font-size: 12px; }
  .weight { font-size: 44px; font-variant-numeric: tabular-nums; margin: 12px 0 4px; }
  .state { display: inline-block; border-radius: 4px; padding: 2px 8px; font-size: 13px; background: #dde; }
  .state.weight { background: #cdeccd; } .state.unstable { background: #fbe7b5; }
  .state.no-reading, .state.failure, .state.negative, .state.overload, .state.unreadable { background: #f6c9c9; }
  .time, .detail { color: #667; font-size: 12px; margin-top: 6px; }
  #link.down { color: #f6c9c9; }
</style>
</head>
<body>
<header><h1>wsr37100 scales</h1><span id="link">connecting</span></header>
<main id="scales"></main>
<script>
"use strict";
const token = new URLSearchParams(location.hash.slice(1)).get("token");
const cards = {};

function text(element, value) { element.textContent = value; }

function card(scale) {
  if (cards[scale.name]) return cards[scale.name];
  const root = document.createElement("section");
  root.className = "scale";
  root.id = "scale-" + scale.name;
  root.innerHTML = '<h2></h2><div class="port"></div><div class="weight"></div>' +
                   '<span class="state"></span><div class="detail"></div><div class="time"></div>';
  text(root.querySelector("h2"), scale.name);
  text(root.querySelector(".port"), scale.port + " at " + scale.baud + " baud");
  document.getElementById("scales").appendChild(root);
  cards[scale.name] = root;
  return root;
}

function show(scale) {
  const root = card(scale);
  const reading = scale.reading;
  let weight = "—", detail = "";
  if (reading && reading.kind === "weight") weight = reading.weight.toFixed(3) + " kg";
  if (reading && reading.kind === "status") detail = "status " + (reading.letter || "?") + " (" + reading.status + ")";
  if (reading && reading.kind === "no-reading") detail = reading.reason + (reading.cause ? ", " + reading.cause : "");
  if (reading && reading.message) detail += (detail ? ": " : "") + reading.message;
  text(root.querySelector(".weight"), weight);
  const state = root.querySelector(".state");
  state.className = "state " + scale.state;
  text(state, scale.state);
  text(root.querySelector(".detail"), detail);
  text(root.querySelector(".time"), reading ? reading.time : "");
}

function follow() {
  // One stream for every scale: a browser keeps only six connections open to one host.
  let url = "/v1/events";
  if (token) url += "?access_token=" + encodeURIComponent(token);
  const events = new EventSource(url);
  const link = document.getElementById("link");
  events.addEventListener("reading", (event) => show(JSON.parse(event.data)));
  events.onopen = () => { link.className = ""; text(link, "live"); };
  events.onerror = () => { link.className = "down"; text(link, "reconnecting"); };
}

fetch("/v1/scales", { headers: token ? { Authorization: "Bearer " + token } : {} })
  .then((response) => response.ok ? response.json() : Promise.reject(new Error("HTTP " + response.status)))
  .then((list) => { list.scales.forEach(show); follow(); })
  .catch((error) => { const link = document.getElementById("link"); link.className = "down"; text(link, error.message); });
</script>
</body>
</html>
)html";

}  // namespace

std::string_view status_page() { return kPage; }

}  // namespace Wsr37100::service
