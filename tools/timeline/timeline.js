// Draws one build's timeline from the JSON object in the element "timeline-data": a row per
// worker, a bar per task. Texts of the build are only ever shown through textContent.
"use strict";
(function () {
  const COLOURS = ["#3b75c4", "#e3a21a", "#d62728", "#9aa0a6"]; // by task state
  const STATE_NAMES = ["succeeded", "succeeded with warnings", "failed", "unfinished"];
  const FAILED = 2;
  const LABEL_W = 190;
  const AXIS_H = 26;
  const ROW_H = 22;
  const MAX_SPACER = 16000000; // browsers cap element sizes near 2^24 pixels

  const $ = (id) => document.getElementById(id);
  const started = performance.now();
  let data;
  try {
    data = JSON.parse($("timeline-data").textContent);
  } catch (e) {
    const error = $("error");
    error.hidden = false;
    error.textContent = "The timeline data cannot be read: " + e.message;
    return;
  }
  // The string table: a text or [length of the start it shares with the text before, rest].
  const parsedAt = performance.now();
  const S = data.strings;
  for (let i = 0; i < S.length; i++) {
    if (Array.isArray(S[i])) S[i] = S[i - 1].slice(0, S[i][0]) + S[i][1];
  }
  const T = data.tasks;
  const W = data.workers;
  const O = data.outputs;
  const B = data.build;
  const taskCount = T.begin.length;
  const rowCount = W.id.length;
  const endMs = Math.max(1, B.endMs, ...T.end.slice(-1));
  for (let i = 0; i < taskCount; i++) {
    if (T.end[i] > B.endMs) B.endMs = T.end[i];
  }
  const totalMs = Math.max(1, B.endMs, endMs);

  // Tasks of each row, by begin time; a worker runs one task at a time.
  const rows = Array.from({ length: rowCount }, () => []);
  for (let i = 0; i < taskCount; i++) rows[T.worker[i]].push(i);
  for (const r of rows) r.sort((a, b) => T.begin[a] - T.begin[b] || a - b);
  const failed = [];
  for (let i = 0; i < taskCount; i++) if (T.state[i] === FAILED) failed.push(i);
  // Output events of each task.
  const outputsOf = new Map();
  for (let k = 0; k < O.ms.length; k++) {
    const t = O.task[k];
    if (!outputsOf.has(t)) outputsOf.set(t, []);
    outputsOf.get(t).push(k);
  }

  // ---- Text helpers ----
  function duration(ms) {
    if (ms < 1000) return ms + " ms";
    if (ms < 60000) return (ms / 1000).toFixed(ms < 10000 ? 2 : 1) + " s";
    const s = Math.floor(ms / 1000);
    const h = Math.floor(s / 3600);
    const m = Math.floor((s % 3600) / 60);
    const pad = (n) => String(n).padStart(2, "0");
    return (h > 0 ? h + ":" + pad(m) : m) + ":" + pad(s % 60) + (h > 0 ? "" : " min");
  }
  function clock(ms) {
    if (!B.startDays) return "+" + duration(ms);
    const d = new Date(Math.round((B.startDays - 25569) * 86400000) + ms);
    const pad = (n) => String(n).padStart(2, "0");
    return d.getUTCFullYear() + "-" + pad(d.getUTCMonth() + 1) + "-" + pad(d.getUTCDate()) + " " +
      pad(d.getUTCHours()) + ":" + pad(d.getUTCMinutes()) + ":" + pad(d.getUTCSeconds());
  }
  function el(tag, text, cls) {
    const e = document.createElement(tag);
    if (text !== undefined) e.textContent = text;
    if (cls) e.className = cls;
    return e;
  }
  function facts(dl, pairs) {
    dl.replaceChildren();
    for (const [k, v] of pairs) {
      if (v === "" || v === undefined || v === null) continue;
      const pair = el("div");
      pair.append(el("dt", k), el("dd", String(v)));
      dl.append(pair);
    }
  }

  // ---- Head ----
  const stateText = {
    succeeded: "Succeeded", failed: "Failed", cancelled: "Cancelled",
    unfinished: "No end recorded", incomplete: "Recording incomplete",
  };
  $("caption").textContent = B.caption || data.source || "Build";
  document.title = (B.caption || "Build") + " \u2014 timeline";
  $("state").textContent = stateText[B.state] || B.state;
  $("state").classList.add(B.state);
  $("summary").textContent = B.summary;
  const counts = [0, 0, 0, 0];
  for (let i = 0; i < taskCount; i++) counts[T.state[i]]++;
  facts($("facts"), [
    ["Start", B.startText],
    ["End", B.startText ? clock(B.endMs) : ""],
    ["Duration", duration(B.endMs)],
    ["Tasks", taskCount],
    ["Failed", counts[2]],
    ["Unfinished", counts[3] || ""],
    ["Workers", rowCount],
    ["Built", B.built >= 0 ? B.built : ""],
    ["Skipped", B.skipped >= 0 ? B.skipped : ""],
    ["Errors", B.errors],
    ["Warnings", B.warnings],
    ["Exit code", B.exitCode],
    ["Computer", B.computer],
    ["User", B.user],
    ["Job file", B.primaryFile],
    ["Build id", /^\{[0-]*\}$/.test(B.id) ? "" : B.id],
    ["Version", B.productVersion],
    ["Events", B.events],
  ]);

  // ---- Build-level output and messages ----
  function outputBlock(k) {
    const box = el("div");
    box.append(el("div", "+" + duration(O.ms[k]), "when"));
    if (S[O.text[k]]) box.append(el("div", S[O.text[k]], "out"));
    if (S[O.errText[k]]) box.append(el("div", S[O.errText[k]], "out err"));
    return box;
  }
  function messageBlock(m) {
    const box = el("div");
    box.append(el("div", "+" + duration(m.ms) + (m.time ? "  " + m.time : "") +
      (m.agent ? "  " + m.agent : "") + (m.project ? "  " + m.project : ""), "when"));
    box.append(el("div", m.message, "out" + (m.kind >= 2 ? " err" : "")));
    if (m.text) box.append(el("div", m.text, "out"));
    return box;
  }
  const own = outputsOf.get(-1) || [];
  $("buildOutputTitle").textContent = "Build output (" + own.length + ")";
  $("buildOutput").append(...own.slice(0, 5000).map(outputBlock));
  if (own.length > 5000) $("buildOutput").append(el("p", (own.length - 5000) + " more not shown"));
  $("messagesTitle").textContent = "Messages (" + data.messages.length + ")";
  $("messages").append(...data.messages.slice(0, 5000).map(messageBlock));
  if (data.messages.length > 5000) {
    $("messages").append(el("p", (data.messages.length - 5000) + " more not shown"));
  }

  // ---- Failed list ----
  const failedList = $("failedList");
  if (failed.length > 0) {
    const head = el("option", failed.length + " failed");
    head.value = "";
    failedList.replaceChildren(head);
  }
  for (const i of failed.slice(0, 2000)) {
    const o = el("option", (S[T.name[i]] || "task " + T.taskId[i]) + " (exit " + T.exitCode[i] + ")");
    o.value = String(i);
    failedList.append(o);
  }
  failedList.addEventListener("change", () => {
    if (failedList.value !== "") reveal(Number(failedList.value));
  });

  // ---- View: scale and scrolling ----
  const view = $("view");
  const canvas = $("canvas");
  const scroller = $("scroller");
  const spacer = $("spacer");
  const ctx = canvas.getContext("2d");
  let scale = 1; // pixels per millisecond
  let selected = -1;
  let lastDrawn = 0;

  function areaWidth() { return Math.max(50, scroller.clientWidth - LABEL_W - 12); }
  function fitScale() { return areaWidth() / totalMs; }
  function maxScale() { return Math.max(fitScale(), Math.min(10, MAX_SPACER / totalMs)); }
  function setScale(next, anchorX) {
    const min = fitScale();
    next = Math.min(maxScale(), Math.max(min, next));
    const ax = anchorX === undefined ? areaWidth() / 2 : anchorX;
    const t = (scroller.scrollLeft + ax) / scale;
    scale = next;
    layout();
    scroller.scrollLeft = Math.max(0, t * scale - ax);
    draw();
  }
  function layout() {
    spacer.style.width = Math.ceil(LABEL_W + totalMs * scale + 12) + "px";
    spacer.style.height = AXIS_H + rowCount * ROW_H + 4 + "px";
    const ratio = window.devicePixelRatio || 1;
    const w = view.clientWidth;
    const h = view.clientHeight;
    if (canvas.width !== Math.round(w * ratio) || canvas.height !== Math.round(h * ratio)) {
      canvas.width = Math.round(w * ratio);
      canvas.height = Math.round(h * ratio);
    }
    ctx.setTransform(ratio, 0, 0, ratio, 0, 0);
    $("scaleText").textContent = duration(Math.round(100 / scale)) + " per 100 px";
  }

  // The screen rectangle of a task's bar in the current view (x, y relative to the view).
  function barRect(i) {
    const x0 = LABEL_W + T.begin[i] * scale - scroller.scrollLeft;
    const x1 = LABEL_W + T.end[i] * scale - scroller.scrollLeft;
    const y = AXIS_H + T.worker[i] * ROW_H - scroller.scrollTop + 3;
    return { x: x0, y: y, w: Math.max(x1 - x0, T.state[i] === FAILED ? 3 : 1), h: ROW_H - 6 };
  }

  function tickStep() {
    const steps = [1, 2, 5, 10, 20, 50, 100, 200, 500, 1000, 2000, 5000, 10000, 15000, 30000,
      60000, 120000, 300000, 600000, 900000, 1800000, 3600000, 7200000, 21600000, 43200000];
    for (const s of steps) if (s * scale >= 90) return s;
    return steps[steps.length - 1];
  }

  // First index of row r whose task may reach time t (tasks of a row do not overlap).
  function firstAtOrAfter(r, t) {
    const list = rows[r];
    let lo = 0;
    let hi = list.length;
    while (lo < hi) {
      const mid = (lo + hi) >> 1;
      if (T.end[list[mid]] < t) lo = mid + 1; else hi = mid;
    }
    return Math.max(0, lo - 1);
  }

  function draw() {
    const w = view.clientWidth;
    const h = view.clientHeight;
    ctx.clearRect(0, 0, w, h);
    ctx.fillStyle = "#ffffff";
    ctx.fillRect(0, 0, w, h);
    const t0 = scroller.scrollLeft / scale;
    const t1 = (scroller.scrollLeft + w - LABEL_W) / scale;
    const r0 = Math.max(0, Math.floor((scroller.scrollTop) / ROW_H));
    const r1 = Math.min(rowCount - 1, Math.ceil((scroller.scrollTop + h - AXIS_H) / ROW_H));
    ctx.font = "12px 'DejaVu Sans', Arial, sans-serif";
    ctx.textBaseline = "middle";

    // Row bands and grid.
    for (let r = r0; r <= r1; r++) {
      const y = AXIS_H + r * ROW_H - scroller.scrollTop;
      if (r % 2 === 1) {
        ctx.fillStyle = "#f6f8fa";
        ctx.fillRect(0, y, w, ROW_H);
      }
    }
    const step = tickStep();
    ctx.strokeStyle = "#e4e8ec";
    ctx.beginPath();
    for (let t = Math.floor(t0 / step) * step; t <= t1; t += step) {
      const x = Math.round(LABEL_W + t * scale - scroller.scrollLeft) + 0.5;
      if (x < LABEL_W) continue;
      ctx.moveTo(x, AXIS_H);
      ctx.lineTo(x, h);
    }
    ctx.stroke();

    // Bars: at most one per pixel column and state in a row, failed ones drawn last and never
    // merged away.
    let drawn = 0;
    ctx.save();
    ctx.beginPath();
    ctx.rect(LABEL_W, AXIS_H, w - LABEL_W, h - AXIS_H);
    ctx.clip();
    const failedVisible = [];
    for (let r = r0; r <= r1; r++) {
      const list = rows[r];
      // Bars narrower than two pixels that touch and share a state are drawn as one run.
      let run = null;
      const flush = () => {
        if (run === null) return;
        ctx.fillStyle = COLOURS[run.state];
        ctx.fillRect(run.x0, run.y, Math.max(1, run.x1 - run.x0), run.h);
        run = null;
      };
      for (let k = firstAtOrAfter(r, t0); k < list.length; k++) {
        const i = list[k];
        if (T.begin[i] > t1) break;
        if (T.end[i] < t0) continue;
        drawn++;
        if (T.state[i] === FAILED) {
          failedVisible.push(i);
          continue;
        }
        const b = barRect(i);
        if (b.w < 2) {
          if (run !== null && run.state === T.state[i] && b.x <= run.x1 + 1) {
            run.x1 = Math.max(run.x1, b.x + b.w);
          } else {
            flush();
            run = { state: T.state[i], x0: b.x, x1: b.x + b.w, y: b.y, h: b.h };
          }
          continue;
        }
        flush();
        ctx.fillStyle = COLOURS[T.state[i]];
        // A gap of one pixel keeps neighbouring tasks apart once they are wide enough.
        ctx.fillRect(b.x, b.y, b.w - (b.w >= 4 ? 1 : 0), b.h);
        if (b.w > 48) barText(i, b);
      }
      flush();
    }
    for (const i of failedVisible) {
      const b = barRect(i);
      ctx.fillStyle = COLOURS[FAILED];
      ctx.fillRect(b.x, b.y, b.w - (b.w >= 4 ? 1 : 0), b.h);
      if (b.w > 48) barText(i, b);
    }
    if (selected >= 0) {
      const b = barRect(selected);
      ctx.strokeStyle = "#111";
      ctx.lineWidth = 2;
      ctx.strokeRect(b.x - 1, b.y - 1, b.w + 2, b.h + 2);
      ctx.lineWidth = 1;
    }
    ctx.restore();
    lastDrawn = drawn;

    // Axis.
    ctx.fillStyle = "#ffffff";
    ctx.fillRect(0, 0, w, AXIS_H);
    ctx.strokeStyle = "#d0d7de";
    ctx.beginPath();
    ctx.moveTo(0, AXIS_H - 0.5);
    ctx.lineTo(w, AXIS_H - 0.5);
    ctx.stroke();
    ctx.fillStyle = "#59636e";
    for (let t = Math.floor(t0 / step) * step; t <= t1; t += step) {
      const x = LABEL_W + t * scale - scroller.scrollLeft;
      if (x < LABEL_W - 1) continue;
      ctx.fillText(duration(t), x + 3, AXIS_H / 2);
    }
    for (const m of data.messages) {
      const x = LABEL_W + m.ms * scale - scroller.scrollLeft;
      if (x < LABEL_W || x > w) continue;
      ctx.fillStyle = m.kind >= 2 ? COLOURS[FAILED] : "#8a6d00";
      ctx.beginPath();
      ctx.moveTo(x - 4, AXIS_H - 9);
      ctx.lineTo(x + 4, AXIS_H - 9);
      ctx.lineTo(x, AXIS_H - 2);
      ctx.fill();
    }

    // Row labels.
    ctx.fillStyle = "#ffffff";
    ctx.fillRect(0, AXIS_H, LABEL_W, h - AXIS_H);
    ctx.save();
    ctx.beginPath();
    ctx.rect(0, AXIS_H, LABEL_W - 6, h - AXIS_H);
    ctx.clip();
    for (let r = r0; r <= r1; r++) {
      const y = AXIS_H + r * ROW_H - scroller.scrollTop;
      ctx.fillStyle = r % 2 === 1 ? "#f6f8fa" : "#ffffff";
      ctx.fillRect(0, y, LABEL_W, ROW_H);
      ctx.fillStyle = "#1f2328";
      ctx.fillText(W.caption[r], 8, y + ROW_H / 2);
    }
    ctx.restore();
    ctx.strokeStyle = "#d0d7de";
    ctx.beginPath();
    ctx.moveTo(LABEL_W - 0.5, 0);
    ctx.lineTo(LABEL_W - 0.5, h);
    ctx.stroke();
    ctx.fillStyle = "#59636e";
    ctx.fillText("Worker", 8, AXIS_H / 2);
  }

  function barText(i, b) {
    ctx.save();
    ctx.beginPath();
    ctx.rect(Math.max(b.x, LABEL_W), b.y, b.w, b.h);
    ctx.clip();
    ctx.fillStyle = "#ffffff";
    ctx.fillText(S[T.name[i]] || "task " + T.taskId[i], Math.max(b.x, LABEL_W) + 4, b.y + b.h / 2);
    ctx.restore();
  }

  // ---- Finding, showing and revealing tasks ----
  function taskAt(x, y) {
    if (x < LABEL_W || y < AXIS_H) return -1;
    const r = Math.floor((y - AXIS_H + scroller.scrollTop) / ROW_H);
    if (r < 0 || r >= rowCount) return -1;
    const t = (x - LABEL_W + scroller.scrollLeft) / scale;
    const slack = 3 / scale; // thin bars are hard to hit
    const list = rows[r];
    let best = -1;
    for (let k = firstAtOrAfter(r, t - slack); k < list.length; k++) {
      const i = list[k];
      if (T.begin[i] > t + slack) break;
      if (T.end[i] >= t - slack) {
        if (best < 0 || (T.begin[i] <= t && t <= T.end[i])) best = i;
      }
    }
    return best;
  }
  function exitText(i) {
    return T.exitCode[i] === null ? "none recorded" : String(T.exitCode[i]);
  }
  function showTip(i, clientX, clientY) {
    const tip = $("tip");
    if (i < 0) {
      tip.hidden = true;
      return;
    }
    tip.replaceChildren(el("b", S[T.name[i]] || "task " + T.taskId[i]));
    const info = el("div", STATE_NAMES[T.state[i]] + ", " + duration(T.end[i] - T.begin[i]) +
      ", exit code " + exitText(i));
    const where = el("div", "on " + W.caption[T.worker[i]] + ", from +" + duration(T.begin[i]));
    tip.append(info, where);
    if (T.errors[i] || T.warnings[i]) {
      tip.append(el("div", T.errors[i] + " error(s), " + T.warnings[i] + " warning(s)"));
    }
    if (S[T.cmdLine[i]]) tip.append(el("div", S[T.cmdLine[i]], "cmd"));
    const n = (outputsOf.get(i) || []).length;
    tip.append(el("div", n > 0 ? "Click for its output (" + n + ")" : "Click for details", "when"));
    tip.hidden = false;
    const pad = 14;
    let left = clientX + pad;
    let top = clientY + pad;
    if (left + tip.offsetWidth > window.innerWidth) left = Math.max(0, clientX - pad - tip.offsetWidth);
    if (top + tip.offsetHeight > window.innerHeight) top = Math.max(0, clientY - pad - tip.offsetHeight);
    tip.style.left = left + "px";
    tip.style.top = top + "px";
  }
  function messagesOf(i) {
    const worker = T.worker[i];
    const names = [W.id[worker], W.caption[worker], W.host[worker]].filter((s) => s);
    return data.messages.filter((m) => m.agent && names.includes(m.agent) &&
      m.ms >= T.begin[i] && m.ms <= T.end[i]);
  }
  function select(i) {
    selected = i;
    draw();
    const box = $("details");
    if (i < 0) {
      box.hidden = true;
      return;
    }
    box.hidden = false;
    $("detailsTitle").textContent = S[T.name[i]] || "task " + T.taskId[i];
    facts($("detailsFacts"), [
      ["Outcome", STATE_NAMES[T.state[i]]],
      ["Exit code", exitText(i)],
      ["Duration", duration(T.end[i] - T.begin[i])],
      ["Begin", "+" + duration(T.begin[i])],
      ["End", "+" + duration(T.end[i])],
      ["Worker", W.caption[T.worker[i]]],
      ["Task id", T.taskId[i]],
      ["Source", S[T.source[i]]],
      ["Program", S[T.app[i]]],
      ["Folder", S[T.hint[i]]],
      ["Status", S[T.status[i]]],
      ["Remote", T.remote[i] ? "yes" : ""],
      ["Errors", T.errors[i]],
      ["Warnings", T.warnings[i]],
    ]);
    $("detailsCmd").textContent = S[T.cmdLine[i]];
    const outs = outputsOf.get(i) || [];
    $("detailsOutputTitle").textContent = "Output (" + outs.length + ")";
    $("detailsOutput").replaceChildren(...outs.map(outputBlock));
    const msgs = messagesOf(i);
    $("detailsMessages").replaceChildren();
    if (msgs.length > 0) {
      $("detailsMessages").append(el("h3", "Messages (" + msgs.length + ")"), ...msgs.map(messageBlock));
    }
  }
  function reveal(i) {
    const span = T.end[i] - T.begin[i];
    if (span * scale < 40) setScale(Math.max(scale, 200 / Math.max(span, 1)));
    scroller.scrollLeft = Math.max(0, ((T.begin[i] + T.end[i]) / 2) * scale - areaWidth() / 2);
    scroller.scrollTop = Math.max(0, T.worker[i] * ROW_H - (scroller.clientHeight - AXIS_H) / 2);
    select(i);
    $("details").scrollIntoView({ block: "nearest" });
  }

  // ---- Events ----
  function pointer(e) {
    const r = view.getBoundingClientRect();
    return { x: e.clientX - r.left, y: e.clientY - r.top };
  }
  scroller.addEventListener("scroll", () => { $("tip").hidden = true; draw(); });
  scroller.addEventListener("mousemove", (e) => {
    const p = pointer(e);
    showTip(taskAt(p.x, p.y), e.clientX, e.clientY);
  });
  scroller.addEventListener("mouseleave", () => { $("tip").hidden = true; });
  scroller.addEventListener("click", (e) => {
    const p = pointer(e);
    select(taskAt(p.x, p.y));
  });
  scroller.addEventListener("wheel", (e) => {
    if (!e.ctrlKey) return;
    e.preventDefault();
    const p = pointer(e);
    setScale(scale * (e.deltaY < 0 ? 1.25 : 0.8), Math.max(0, p.x - LABEL_W));
  }, { passive: false });
  scroller.addEventListener("keydown", (e) => {
    if (e.key === "+" || e.key === "=") setScale(scale * 1.5);
    else if (e.key === "-") setScale(scale / 1.5);
    else if (e.key === "0") setScale(fitScale());
  });
  $("zoomIn").addEventListener("click", () => setScale(scale * 1.5));
  $("zoomOut").addEventListener("click", () => setScale(scale / 1.5));
  $("zoomFit").addEventListener("click", () => setScale(fitScale()));
  window.addEventListener("resize", () => {
    const fit = scale <= fitScale() * 1.0001;
    layout();
    if (fit) scale = fitScale();
    layout();
    draw();
  });

  const preparedAt = performance.now();
  // The view is as tall as its rows, within 60% of the window.
  view.style.height = Math.max(120, Math.min(window.innerHeight * 0.6,
    AXIS_H + rowCount * ROW_H + 24)) + "px";
  scale = fitScale();
  layout();
  draw();

  // A report of what was drawn, for automated checks of the page (open it with "#selftest").
  if (location.hash === "#selftest") {
    const pixel = (x, y) => {
      const ratio = window.devicePixelRatio || 1;
      const d = ctx.getImageData(Math.round(x * ratio), Math.round(y * ratio), 1, 1).data;
      return "#" + [d[0], d[1], d[2]].map((v) => v.toString(16).padStart(2, "0")).join("");
    };
    const sample = (i) => {
      const b = barRect(i);
      return { task: i, name: S[T.name[i]], x: b.x, y: b.y, w: b.w, h: b.h,
        colour: pixel(b.x + b.w / 2, Math.floor(b.y + b.h - 2)) }; // below the bar's text
    };
    const firstOk = T.state.indexOf(0);
    const report = {
      tasks: taskCount, rows: rowCount, drawnBars: lastDrawn,
      failed: failed.slice(0, 5).map(sample),
      succeeded: firstOk >= 0 ? sample(firstOk) : null,
      failureColour: COLOURS[FAILED], successColour: COLOURS[0],
      resources: performance.getEntriesByType("resource").length,
      caption: $("caption").textContent,
      scriptStartMs: Math.round(started),
      parsedMs: Math.round(parsedAt),
      preparedMs: Math.round(preparedAt),
      sinceNavigationMs: Math.round(performance.now()),
    };
    // What a user reaches from the first failed bar: its hover text, and after a click its
    // details with the task's output.
    if (failed.length > 0) {
      const b = barRect(failed[0]);
      const hit = taskAt(b.x + b.w / 2, b.y + b.h / 2);
      showTip(hit, 10, 10);
      reveal(failed[0]);
      report.interaction = { hit: hit === failed[0], tip: $("tip").textContent,
        detailsTitle: $("detailsTitle").textContent, detailsOutput: $("detailsOutput").textContent };
      showTip(-1);
    }
    const out = el("pre", JSON.stringify(report));
    out.id = "selftest";
    document.body.append(out);
  }
})();
