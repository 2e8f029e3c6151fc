// The screen view's page. Every text from the terminal goes into the page through
// textContent, never as markup.
#include "http_view_page.h"

namespace rv270sim {

const char* ViewPage() {
  return R"PAGE(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>RV270 simulator: customer screen</title>
<style>
  body { font-family: sans-serif; margin: 12px; background: #e8e8e8; color: #222; }
  h1 { font-size: 18px; margin: 0 0 8px; }
  h2 { font-size: 14px; margin: 0 0 6px; color: #555; }
  #layout { display: flex; gap: 12px; align-items: flex-start; }
  #screen { width: 640px; min-height: 360px; background: #fff; border: 8px solid #333; border-radius: 8px;
            display: flex; flex-direction: column; }
  #bar { background: #1d4f91; color: #fff; padding: 4px 8px; display: flex; justify-content: space-between; gap: 8px; }
  #welcome { font-size: 20px; text-align: center; padding: 6px; color: #1d4f91; }
  #main { flex: 1; padding: 10px 16px; }
  #infoText, #textPage { font-size: 26px; white-space: pre-wrap; }
  #entry { font-size: 32px; letter-spacing: 6px; text-align: center; padding: 8px; }
  .panel { background: #fff; border: 1px solid #bbb; border-radius: 4px; padding: 8px; margin-bottom: 8px; width: 340px; }
  .row { margin: 2px 0; } .label { color: #777; display: inline-block; min-width: 125px; }
  .empty { color: #bbb; }
  #signature { max-width: 320px; border: 1px dashed #999; display: none; }
  table { border-collapse: collapse; font-size: 12px; background: #fff; margin-top: 12px; }
  td, th { border: 1px solid #ccc; padding: 2px 6px; text-align: left; font-family: monospace; }
  #link.down { color: #b00; }
</style>
</head>
<body data-polls="0">
<h1>RV270 simulator: what the customer sees <small id="link">connecting</small></h1>
<div id="layout">
  <div>
    <div id="screen">
      <div id="bar"><span id="statusBar"></span><span id="statusBarInfo"></span></div>
      <div id="welcome"></div>
      <div id="main">
        <div class="row"><span class="label">information</span><span id="infoText"></span></div>
        <div class="row"><span class="label">text page</span><span id="textPage"></span></div>
        <div class="row"><span class="label">web page</span><span id="page"></span></div>
        <div class="row"><span class="label">signing</span><span id="signStatus"></span></div>
        <div id="entry" hidden><span id="entryKind"></span>: <span id="entryMask"></span></div>
        <div class="row"><span class="label">customer</span><span id="waiting"></span></div>
      </div>
    </div>
    <table><thead><tr><th>link</th><th>command</th><th>name</th><th>length</th><th>first bytes</th></tr></thead>
      <tbody id="requests"></tbody></table>
  </div>
  <div>
    <div class="panel"><h2>Voice</h2><div id="spoken"></div></div>
    <div class="panel"><h2>Playlist</h2>
      <div class="row"><span class="label">pictures</span><span id="picList"></span></div>
      <div class="row"><span class="label">videos</span><span id="videoList"></span></div>
      <div class="row"><span class="label">video</span><span id="lastVideo"></span></div>
      <div class="row"><span class="label">poster type</span><span id="posterType"></span></div>
    </div>
    <div class="panel"><h2>Teller and evaluation</h2>
      <div class="row"><span class="label">teller number</span><span id="tellerNo"></span></div>
      <div class="row"><span class="label">teller name</span><span id="tellerName"></span></div>
      <div class="row"><span class="label">stars</span><span id="tellerStars"></span></div>
      <div class="row"><span class="label">photo</span><span id="tellerPhoto"></span></div>
      <div class="row"><span class="label">evaluation page</span><span id="evaluatePage"></span></div>
      <div class="row"><span class="label">rating</span><span id="rating"></span></div>
      <div class="row"><span class="label">badge</span><span id="badge"></span></div>
    </div>
    <div class="panel"><h2>Signature</h2>
      <div class="row"><span class="label">signature pad</span><span id="signPad"></span></div>
      <div class="row"><span class="label">paperless text</span><span id="paperText"></span></div>
      <img id="signature" alt="customer signature">
    </div>
  </div>
</div>
<script>
"use strict";
const byId = (id) => document.getElementById(id);
function show(id, text) {
  const el = byId(id);
  const value = text === null || text === undefined ? "" : String(text);
  el.textContent = value === "" ? "-" : value;
  el.className = value === "" ? "empty" : "";
}
let signatureHash = "";
function render(s) {
  show("statusBar", s.statusBar);
  show("statusBarInfo", s.statusBarInfo);
  show("welcome", s.welcome);
  show("infoText", s.infoText);
  show("textPage", s.textPage);
  show("page", s.page);
  show("signStatus", s.signMode >= 0 ? (s.signStatusArea || "signature screen") : "");
  show("waiting", s.customerWaiting ? "waiting for the customer" : "");
  byId("entry").hidden = !s.entry.active;
  show("entryKind", s.entry.active ? s.entry.kind : "");
  show("entryMask", s.entry.active ? "*".repeat(s.entry.digits) : "");
  show("spoken", s.lastSpoken);
  show("picList", s.picList);
  show("videoList", s.videoList);
  show("lastVideo", s.lastVideo);
  show("posterType", s.posterType >= 0 ? s.posterType : "");
  const card = s.tellerCard === null ? [] : s.tellerCard.split("#");
  show("tellerNo", card[0]);
  show("tellerName", card[1]);
  show("tellerStars", card[2]);
  show("tellerPhoto", card[3]);
  show("evaluatePage", s.evaluatePage);
  show("rating", s.rating);
  show("badge", s.badge);
  show("signPad", s.signPad);
  show("paperText", s.paperText);
  const img = byId("signature");
  if (!s.signature.present) {
    img.style.display = "none";
    img.removeAttribute("src");
    img.removeAttribute("data-width");
    signatureHash = "";
  } else if (s.signature.hash !== signatureHash) {
    signatureHash = s.signature.hash;
    img.onload = () => { img.dataset.width = String(img.naturalWidth); img.style.display = "block"; };
    img.src = "/signature.png?h=" + encodeURIComponent(signatureHash);
  }
  const body = byId("requests");
  body.textContent = "";
  for (const r of s.requests) {
    const tr = document.createElement("tr");
    for (const v of [r.link, r.command, r.name, r.length, r.data]) {
      const td = document.createElement("td");
      td.textContent = String(v);
      tr.appendChild(td);
    }
    body.appendChild(tr);
  }
}
async function poll() {
  try {
    const answer = await fetch("/state", { cache: "no-store" });
    render(await answer.json());
    byId("link").textContent = "live";
    byId("link").className = "";
    document.body.dataset.polls = String(Number(document.body.dataset.polls) + 1);
  } catch (e) {
    byId("link").textContent = "simulator not reachable";
    byId("link").className = "down";
  }
  setTimeout(poll, 500);
}
poll();
</script>
</body>
</html>
)PAGE";
}

}  // namespace rv270sim
