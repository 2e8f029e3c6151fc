// The screen view's page: the customer screen drawn as the terminal shows it, and the
// state's tables beside it. Every text from the terminal goes into the page through
// textContent, never as markup. With the customer at the page, its buttons, keypad and
// signature pad send the customer's actions to /customer; a key press goes out at once
// and the page keeps no digit (the mask is drawn from the count the simulator reports).
#include "http_view_page.h"

namespace rv270sim {

const char* ViewPage() {
  return R"PAGE(<!DOCTYPE html>
<html lang="zh-CN">
<head>
<meta charset="utf-8">
<title>RV270 simulator: customer screen</title>
<style>
  body { font-family: "WenQuanYi Zen Hei", "Noto Sans CJK SC", sans-serif; margin: 12px; background: #d9dde3; color: #222; }
  h1 { font-size: 18px; margin: 0 0 8px; }
  h1 small { font-weight: normal; font-size: 13px; margin-left: 8px; }
  h2 { font-size: 14px; margin: 0 0 6px; color: #555; }
  #layout { display: flex; gap: 14px; align-items: flex-start; }
  /* The terminal: a 16:9 screen in a dark bezel. */
  #terminal { background: #23262b; padding: 18px 18px 26px; border-radius: 14px; box-shadow: 0 6px 18px rgba(0,0,0,.35); }
  #terminal .brand { color: #8a9099; font-size: 11px; text-align: center; margin-top: 8px; letter-spacing: 3px; }
  #screen { width: 800px; height: 450px; background: #fff; position: relative; overflow: hidden;
            display: flex; flex-direction: column; }
  #scrBar { height: 34px; background: linear-gradient(#1f5aa6, #174a8b); color: #fff; display: flex;
            align-items: center; gap: 14px; padding: 0 12px; font-size: 15px; flex: none; }
  #scrBar .grow { flex: 1; overflow: hidden; white-space: nowrap; text-overflow: ellipsis; }
  #scrClock { font-variant-numeric: tabular-nums; opacity: .9; }
  #stage { flex: 1; position: relative; }
  .view { position: absolute; inset: 0; display: flex; flex-direction: column; align-items: center;
          justify-content: center; gap: 14px; padding: 14px 24px; box-sizing: border-box; }
  .view[hidden] { display: none; }
  #scrTicker { height: 28px; background: #eef2f7; color: #1f5aa6; font-size: 15px; display: flex;
               align-items: center; padding: 0 12px; gap: 10px; flex: none; border-top: 1px solid #d5dce6; }
  #scrTicker .grow { flex: 1; white-space: nowrap; overflow: hidden; text-overflow: ellipsis; }
  #scrVoice { color: #666; font-size: 13px; max-width: 50%; white-space: nowrap; overflow: hidden; text-overflow: ellipsis; }
  .buttons { display: flex; gap: 18px; }
  .buttons button, .rate, .key { font: inherit; font-size: 20px; border: none; border-radius: 8px; padding: 10px 28px;
                                  cursor: pointer; color: #fff; background: #1f5aa6; box-shadow: 0 2px 0 #0f3566; }
  button.quiet { background: #8a96a8; box-shadow: 0 2px 0 #5c6675; }
  button.danger { background: #c0392b; box-shadow: 0 2px 0 #7d241b; }
  button:disabled { opacity: .45; cursor: default; }
  /* Idle: the playlist picture under the welcome text, the teller badge in a corner. */
  #vIdle { padding: 0; background: linear-gradient(135deg, #e9f1fb, #c7d9f0); }
  #scrPicture { position: absolute; inset: 0; width: 100%; height: 100%; object-fit: cover; }
  #scrPictureName { position: absolute; inset: 84px 60px 24px; border: 2px dashed #7f9cc4; border-radius: 10px;
                    display: flex; align-items: center; justify-content: center; flex-direction: column;
                    color: #4d6a92; font-size: 20px; background: rgba(255,255,255,.45); }
  #scrPictureName small { font-size: 13px; color: #6d84a5; }
  #scrWelcome { position: absolute; left: 0; right: 0; top: 0; padding: 14px; text-align: center; font-size: 34px;
                color: #fff; background: linear-gradient(rgba(23,74,139,.85), rgba(23,74,139,0)); text-shadow: 0 2px 3px rgba(0,0,0,.4); }
  #scrBadge { position: absolute; right: 14px; bottom: 14px; background: rgba(255,255,255,.93); border-radius: 10px;
              padding: 8px 14px; box-shadow: 0 2px 8px rgba(0,0,0,.25); font-size: 15px; min-width: 150px; }
  .stars { color: #e6a817; letter-spacing: 2px; }
  /* Texts and pages. */
  #scrText { font-size: 34px; text-align: center; white-space: pre-wrap; max-height: 260px; overflow: hidden; }
  .browser { width: 92%; height: 290px; border: 1px solid #b8c3d1; border-radius: 8px; overflow: hidden; display: flex; flex-direction: column; }
  .browser .address { background: #eef1f5; padding: 6px 10px; font-size: 14px; color: #444; border-bottom: 1px solid #d0d7e0; }
  .browser .content { flex: 1; display: flex; align-items: center; justify-content: center; color: #6a7788; font-size: 18px; }
  /* Signing. */
  #scrSignStatus { font-size: 22px; }
  #pad { width: 600px; height: 240px; background: #fdfdf8; border: 2px solid #7f8c9d; border-radius: 6px;
         touch-action: none; cursor: crosshair; background-image: linear-gradient(transparent 200px, #c9ced6 200px, #c9ced6 202px, transparent 202px); }
  /* Evaluation. */
  .card { display: flex; gap: 16px; align-items: center; background: #f3f6fa; border-radius: 10px; padding: 10px 18px; }
  .photo { width: 64px; height: 80px; background: #c8d3e2; border-radius: 6px; display: flex; align-items: center;
           justify-content: center; color: #5b6d86; font-size: 12px; text-align: center; overflow: hidden; }
  #scrTellerName { font-size: 24px; }
  .rates { display: flex; gap: 14px; }
  .rate { padding: 14px 18px; font-size: 19px; }
  .rate[data-rating="1"] { background: #2e8b57; box-shadow: 0 2px 0 #1c5a37; }
  .rate[data-rating="2"] { background: #3f9fd0; box-shadow: 0 2px 0 #266a8c; }
  .rate[data-rating="3"] { background: #d19a2e; box-shadow: 0 2px 0 #8c6518; }
  .rate[data-rating="4"] { background: #c0392b; box-shadow: 0 2px 0 #7d241b; }
  /* Keypad. */
  #scrKeypadPrompt { font-size: 24px; }
  #scrMask { font-size: 34px; letter-spacing: 10px; min-width: 320px; min-height: 46px; text-align: center;
             border-bottom: 2px solid #1f5aa6; font-family: monospace; }
  .keys { display: grid; grid-template-columns: repeat(3, 96px); gap: 8px; }
  .key { padding: 8px 0; font-size: 22px; }
  .key.wide { grid-column: span 3; }
  .note { color: #8a6d1f; font-size: 13px; }
  /* The state's tables. */
  #side { display: flex; flex-direction: column; gap: 8px; }
  .panel { background: #fff; border: 1px solid #bbb; border-radius: 4px; padding: 8px; width: 340px; box-sizing: border-box; }
  .row { margin: 2px 0; } .label { color: #777; display: inline-block; min-width: 125px; }
  .empty { color: #bbb; }
  #signature { max-width: 320px; border: 1px dashed #999; display: none; }
  table { border-collapse: collapse; font-size: 12px; background: #fff; margin-top: 12px; }
  td, th { border: 1px solid #ccc; padding: 2px 6px; text-align: left; font-family: monospace; }
  #link.down { color: #b00; }
</style>
</head>
<body data-polls="0" data-view="" data-wait="0">
<h1>RV270 simulator: what the customer sees <small id="link">connecting</small><small id="customerMode"></small></h1>
<div id="layout">
  <div>
    <div id="terminal">
      <div id="screen">
        <div id="scrBar"><span id="scrBarText" class="grow"></span><span id="scrBarInfo"></span><span id="scrClock"></span></div>
        <div id="stage">
          <section id="vIdle" class="view">
            <div id="scrPictureName"></div>
            <img id="scrPicture" alt="" hidden>
            <div id="scrWelcome"></div>
            <div id="scrBadge" hidden><div id="scrBadgeName"></div><div id="scrBadgeNo"></div><div id="scrBadgeStars" class="stars"></div></div>
          </section>
          <section id="vText" class="view" hidden>
            <div id="scrText"></div>
            <div class="buttons"><button id="textConfirm">确认</button><button id="textCancel" class="quiet">取消</button></div>
          </section>
          <section id="vPage" class="view" hidden>
            <div class="browser"><div class="address" id="scrPageName"></div>
              <div class="content" id="scrPageKind"></div></div>
            <div class="buttons"><button id="pageConfirm">确认</button><button id="pageCancel" class="quiet">返回</button></div>
          </section>
          <section id="vSign" class="view" hidden>
            <div id="scrSignStatus"></div>
            <canvas id="pad" width="400" height="160"></canvas>
            <div class="buttons"><button id="signAgain" class="quiet">重签</button><button id="signConfirm">确认</button>
              <button id="signCancel" class="danger">取消</button></div>
          </section>
          <section id="vRating" class="view" hidden>
            <div class="card"><div class="photo" id="scrTellerPhoto"></div>
              <div><div id="scrTellerName"></div><div id="scrTellerNo"></div><div id="scrTellerStars" class="stars"></div></div></div>
            <div style="font-size:22px">请您对本次服务进行评价</div>
            <div class="rates"><button class="rate" data-rating="1">非常满意</button><button class="rate" data-rating="2">满意</button>
              <button class="rate" data-rating="3">基本满意</button><button class="rate" data-rating="4">不满意</button></div>
          </section>
          <section id="vKeypad" class="view" hidden>
            <div id="scrKeypadPrompt"></div>
            <div id="scrMask"></div>
            <div class="keys">
              <button class="key" data-key="1">1</button><button class="key" data-key="2">2</button><button class="key" data-key="3">3</button>
              <button class="key" data-key="4">4</button><button class="key" data-key="5">5</button><button class="key" data-key="6">6</button>
              <button class="key" data-key="7">7</button><button class="key" data-key="8">8</button><button class="key" data-key="9">9</button>
              <button class="key quiet" id="keyClear">清除</button><button class="key" data-key="0">0</button><button class="key" id="keyEnter">确认</button>
              <button class="key wide danger" id="keyCancel">取消</button>
            </div>
          </section>
          <div id="scrNote" class="note" hidden style="position:absolute;left:10px;bottom:6px">scripted customer</div>
        </div>
        <div id="scrTicker"><span id="scrTickerText" class="grow"></span><span id="scrVoice"></span></div>
      </div>
      <div class="brand">RV270</div>
    </div>
    <table><thead><tr><th>link</th><th>command</th><th>name</th><th>length</th><th>first bytes</th></tr></thead>
      <tbody id="requests"></tbody></table>
  </div>
  <div id="side">
    <div class="panel"><h2>Screen</h2>
      <div class="row"><span class="label">status bar</span><span id="statusBar"></span></div>
      <div class="row"><span class="label">status information</span><span id="statusBarInfo"></span></div>
      <div class="row"><span class="label">welcome</span><span id="welcome"></span></div>
      <div class="row"><span class="label">information</span><span id="infoText"></span></div>
      <div class="row"><span class="label">text page</span><span id="textPage"></span></div>
      <div class="row"><span class="label">web page</span><span id="page"></span></div>
      <div class="row"><span class="label">signing</span><span id="signStatus"></span></div>
      <div id="entry" class="row" hidden><span class="label">entry</span><span id="entryKind"></span>: <span id="entryMask"></span></div>
      <div class="row"><span class="label">customer</span><span id="waiting"></span></div>
    </div>
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
function put(id, text) { byId(id).textContent = text === null || text === undefined ? "" : String(text); }
const stars = (n) => { const k = Math.max(0, Math.min(5, Number(n) || 0)); return "★".repeat(k) + "☆".repeat(5 - k); };

// ---- the customer at the page ----
let current = null;        // the latest state
let browser = false;       // the customer answers here
let queue = Promise.resolve();
function act(lines) {
  if (!browser || !current || !current.customer.wait) return;
  const body = ["wait " + current.customer.wait].concat(lines).join("\n") + "\n";
  queue = queue.then(() => fetch("/customer", { method: "POST", body: body, cache: "no-store",
                                                headers: { "X-RV270-Customer": "1", "Content-Type": "text/plain" } })
                         .catch(() => null)).then(poll1);
}

// The signature pad: strokes in the pad's own pixels (its canvas size), whatever its
// size on the screen.
const pad = byId("pad");
const ink = pad.getContext("2d");
let strokes = [];
let drawing = null;
let padWait = -1;
function clearPad() {
  strokes = [];
  drawing = null;
  ink.clearRect(0, 0, pad.width, pad.height);
  byId("signConfirm").disabled = !browser;
  updateSignButtons();
}
function updateSignButtons() { byId("signConfirm").disabled = !browser || strokes.length === 0; }
function padPoint(e) {
  const r = pad.getBoundingClientRect();
  return [Math.round((e.clientX - r.left) * pad.width / r.width), Math.round((e.clientY - r.top) * pad.height / r.height)];
}
pad.addEventListener("pointerdown", (e) => {
  if (!browser) return;
  e.preventDefault();
  pad.setPointerCapture(e.pointerId);
  drawing = [padPoint(e)];
  strokes.push(drawing);
  ink.lineWidth = 4; ink.lineCap = "round"; ink.lineJoin = "round"; ink.strokeStyle = "#101010";
  ink.beginPath(); ink.moveTo(drawing[0][0], drawing[0][1]); ink.lineTo(drawing[0][0], drawing[0][1]); ink.stroke();
  updateSignButtons();
});
pad.addEventListener("pointermove", (e) => {
  if (!drawing) return;
  const p = padPoint(e), last = drawing[drawing.length - 1];
  if (p[0] === last[0] && p[1] === last[1]) return;
  drawing.push(p);
  ink.beginPath(); ink.moveTo(last[0], last[1]); ink.lineTo(p[0], p[1]); ink.stroke();
});
for (const end of ["pointerup", "pointercancel"]) pad.addEventListener(end, () => { drawing = null; });
byId("signAgain").onclick = clearPad;
byId("signConfirm").onclick = () => {
  if (strokes.length === 0) return;
  act(["confirm", "pad " + pad.width + " " + pad.height].concat(strokes.map((s) => "stroke " + s.map((p) => p[0] + "," + p[1]).join(" "))));
};
byId("signCancel").onclick = () => act(["cancel"]);
byId("textConfirm").onclick = () => act(["confirm"]);
byId("textCancel").onclick = () => act(["cancel"]);
byId("pageConfirm").onclick = () => act(["confirm"]);
byId("pageCancel").onclick = () => act(["cancel"]);
for (const b of document.querySelectorAll(".rate")) b.onclick = () => act(["rate " + b.dataset.rating]);
for (const b of document.querySelectorAll(".key[data-key]")) b.onclick = () => act(["key " + b.dataset.key]);
byId("keyClear").onclick = () => act(["clear"]);
byId("keyEnter").onclick = () => act(["enter"]);
byId("keyCancel").onclick = () => act(["cancel"]);

// ---- drawing the customer screen ----
const views = ["vIdle", "vText", "vPage", "vSign", "vRating", "vKeypad"];
const prompts = { pin: "请输入密码", password: "请输入交易密码", number: "请输入数字" };
const pageKinds = { 23: "网页", 24: "网页 (压缩包)", 26: "广告页" };
let pictureAt = "";
// What the main area shows: the wait in progress, else the latest content, else idle.
function screenOf(s) {
  const kind = s.customer.kind;
  if (kind === "text") return "vText";
  if (kind === "page") return "vPage";
  if (kind === "sign") return "vSign";
  if (kind === "rating") return "vRating";
  if (kind === "pin" || kind === "password" || kind === "number") return "vKeypad";
  if (s.shown === 16 || s.shown === 27) return "vText";
  if (s.shown === 23 || s.shown === 24 || s.shown === 26) return "vPage";
  return "vIdle";
}
function drawScreen(s) {
  const view = screenOf(s);
  for (const v of views) byId(v).hidden = v !== view;
  document.body.dataset.view = view;
  document.body.dataset.wait = String(s.customer.wait);
  const card = s.tellerCard === null ? [] : s.tellerCard.split("#");
  put("scrBarText", s.statusBar);
  put("scrBarInfo", s.statusBarInfo);
  put("scrTickerText", s.welcome);
  put("scrVoice", s.lastSpoken ? "♪ " + s.lastSpoken : "");
  const waiting = s.customerWaiting && s.customer.kind !== "";
  for (const b of document.querySelectorAll("#stage button")) b.disabled = !(browser && waiting);
  byId("scrNote").hidden = browser || !waiting;
  if (view === "vIdle") {
    put("scrWelcome", s.welcome);
    byId("scrWelcome").hidden = !s.welcome;
    const names = s.pictures;
    const interval = Math.max(1, s.playInterval > 0 ? s.playInterval : 5);
    const at = names.length ? Math.floor(Date.now() / 1000 / interval) % names.length : -1;
    const key = at < 0 ? "" : at + ":" + names[at];
    if (key !== pictureAt) {
      pictureAt = key;
      const img = byId("scrPicture");
      img.hidden = true;
      byId("scrPictureName").textContent = "";
      if (at >= 0) {
        const name = document.createElement("div");
        name.textContent = names[at];
        const what = document.createElement("small");
        what.textContent = "广告图片 " + (at + 1) + " / " + names.length;
        byId("scrPictureName").append(name, what);
        img.onload = () => { img.hidden = false; };
        img.src = "/picture?n=" + at;
      }
    }
    byId("scrPictureName").hidden = at < 0;
    byId("scrBadge").hidden = card.length < 2;
    put("scrBadgeName", card[1]);
    put("scrBadgeNo", card[0] ? "工号 " + card[0] : "");
    put("scrBadgeStars", card[2] !== undefined ? stars(card[2]) : "");
  } else if (view === "vText") {
    put("scrText", s.shown === 27 ? s.textPage : s.shown === 18 ? s.signStatusArea : s.infoText);
  } else if (view === "vPage") {
    put("scrPageName", s.page);
    put("scrPageKind", pageKinds[s.pageCommand] || "网页");
  } else if (view === "vSign") {
    put("scrSignStatus", s.signStatusArea || s.paperText || "请在下方签名");
    if (padWait !== s.customer.wait) { padWait = s.customer.wait; clearPad(); }
  } else if (view === "vRating") {
    put("scrTellerName", card[1] || "");
    put("scrTellerNo", card[0] ? "工号 " + card[0] : "");
    put("scrTellerStars", card[2] !== undefined ? stars(card[2]) : "");
    put("scrTellerPhoto", card[3] || "照片");
  } else if (view === "vKeypad") {
    put("scrKeypadPrompt", prompts[s.customer.kind]);
    put("scrMask", "*".repeat(s.entry.active ? s.entry.digits : 0));
    byId("keyEnter").disabled = byId("keyEnter").disabled || s.customer.typed < s.customer.min;
  }
  if (view !== "vSign") updateSignButtons();
}
function tick() {
  const d = new Date();
  const two = (n) => String(n).padStart(2, "0");
  put("scrClock", two(d.getHours()) + ":" + two(d.getMinutes()));
}

// ---- the state's tables ----
let signatureHash = "";
function render(s) {
  current = s;
  browser = s.customer.mode === "browser";
  put("customerMode", browser ? "customer: at this page" : "customer: scripted");
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
  drawScreen(s);
}
async function poll1() {
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
}
async function poll() {
  await poll1();
  tick();
  setTimeout(poll, 500);
}
poll();
</script>
</body>
</html>
)PAGE";
}

}  // namespace rv270sim
