// The console's page: talks to the server's JSON routes; every change carries the session's
// CSRF token in the X-CSRF-Token header. Text from the server is only ever set as text.
"use strict";

let csrf = "";
let lastLine = 0;
let pollTimer = null;
const POLL_MS = 2000;

const $ = (id) => document.getElementById(id);

function say(text, isError) {
  const m = $("message");
  m.textContent = text;
  m.className = isError ? "error" : "";
  m.hidden = !text;
}

async function call(method, path, fields) {
  const init = { method, credentials: "same-origin", headers: {} };
  if (method === "POST") {
    init.headers["X-CSRF-Token"] = csrf;
    init.headers["Content-Type"] = "application/x-www-form-urlencoded";
    init.body = new URLSearchParams(fields || {}).toString();
  }
  const res = await fetch(path, init);
  let data = {};
  try { data = await res.json(); } catch (e) { data = {}; }
  if (res.status === 401) { showLogin(); throw new Error(data.error || "Please log in."); }
  if (!res.ok) throw new Error(data.error || ("The server answered " + res.status));
  return data;
}

function cell(row, text) {
  const td = document.createElement("td");
  td.textContent = text;
  row.appendChild(td);
  return td;
}

function fillTable(table, headings, items, makeRow) {
  table.replaceChildren();
  const head = table.insertRow();
  for (const h of headings) { const th = document.createElement("th"); th.textContent = h; head.appendChild(th); }
  for (const item of items) {
    const row = table.insertRow();
    makeRow(row, item);
    // On a phone each row becomes a card whose cells name their column.
    Array.from(row.cells).forEach((c, i) => { c.dataset.label = headings[i] || ""; });
  }
}

function button(label, onClick, danger) {
  const b = document.createElement("button");
  b.type = "button";
  b.textContent = label;
  if (danger) b.className = "danger";
  b.addEventListener("click", onClick);
  return b;
}

// True when the server took the change.
async function change(path, fields, done) {
  try {
    await call("POST", path, fields);
  } catch (e) {
    say(e.message, true);
    return false;
  }
  say(done, false);
  await showPage(currentPage());
  return true;
}

// ---- pages -----------------------------------------------------------------------------

async function loadStatus() {
  const data = await call("GET", "/api/status?after=" + lastLine);
  const rows = $("status-rows");
  rows.replaceChildren();
  for (const r of data.rows) { const tr = rows.insertRow(); cell(tr, r.name); cell(tr, r.value); }
  const log = $("log");
  for (const line of data.log) { const li = document.createElement("li"); li.textContent = line; log.appendChild(li); }
  while (log.children.length > 300) log.removeChild(log.firstChild);
  if (data.log.length) log.scrollTop = log.scrollHeight;
  lastLine = data.last;
}

async function loadMailboxes() {
  const data = await call("GET", "/api/mailboxes");
  fillTable($("mailbox-list"), ["Name", "Type", "Messages", "Forward", ""], data.mailboxes, (tr, m) => {
    cell(tr, m.name); cell(tr, m.type); cell(tr, String(m.messages)); cell(tr, m.forward);
    // The robots' own mailboxes come back at every start: nothing to remove.
    if (m.type === "command" || m.type === "listserver") { cell(tr, ""); return; }
    const actions = cell(tr, "");
    if (m.type === "responder") actions.appendChild(button("Reply text", () => {
      const f = $("reply-form");
      $("reply").hidden = false;
      f.elements.namedItem("name").value = m.name;
      f.elements.namedItem("text").value = m.replyText;
      $("reply-title").textContent = "Reply text of " + m.name;
    }));
    if (m.type === "list") actions.appendChild(button("Members", () => showMembers(m.name).catch((e) => say(e.message, true))));
    actions.appendChild(button("Remove", () => {
      if (confirm("Remove the mailbox " + m.name + "? Its messages stay on disk.")) {
        change("/api/mailbox/remove", { name: m.name }, "Mailbox " + m.name + " removed.");
      }
    }, true));
  });
  const types = $("mailbox-types");
  if (!types.children.length) {
    for (const t of data.types) { const o = document.createElement("option"); o.textContent = t; types.appendChild(o); }
    types.value = "user";
  }
  fillTable($("alias-list"), ["Alias", "Addresses", ""], data.aliases, (tr, a) => {
    cell(tr, a.name); cell(tr, a.addresses.replace(/,$/, "").split(",").join(", "));
    cell(tr, "").appendChild(button("Remove", () => change("/api/alias/remove", { name: a.name }, "Alias removed."), true));
  });
  fillTable($("domain-list"), ["Domain", ""], data.domains, (tr, d) => {
    cell(tr, d.name + (d.primary ? " (primary)" : ""));
    const c = cell(tr, "");
    if (!d.primary) c.appendChild(button("Make primary", () => change("/api/domain/primary", { name: d.name }, "Primary domain set.")));
    c.appendChild(button("Remove", () => change("/api/domain/remove", { name: d.name }, "Domain removed."), true));
  });
}

let membersOf = "";

async function showMembers(list) {
  membersOf = list;
  const data = await call("GET", "/api/members?list=" + encodeURIComponent(list));
  $("members").hidden = false;
  $("members-title").textContent = "Members of " + list;
  const f = $("list-options");
  for (const [name, value] of Object.entries(data.options)) {
    const field = f.elements.namedItem(name);
    if (field.type === "checkbox") field.checked = value; else field.value = value;
  }
  f.elements.namedItem("name").value = list;
  fillTable($("members-list"), ["Address", ""], data.members, (tr, address) => {
    cell(tr, address);
    cell(tr, "").appendChild(button("Remove", () =>
      changeMembers("remove", address), true));
  });
}

async function changeMembers(what, address) {
  try {
    await call("POST", "/api/members/" + what, { list: membersOf, address });
    say(address + (what === "add" ? " added." : " removed."), false);
    await showMembers(membersOf);
  } catch (e) { say(e.message, true); }
}

function age(seconds) {
  if (seconds < 120) return seconds + " s";
  if (seconds < 7200) return Math.round(seconds / 60) + " min";
  if (seconds < 172800) return Math.round(seconds / 3600) + " h";
  return Math.round(seconds / 86400) + " days";
}

async function loadQueue() {
  const data = await call("GET", "/api/queue");
  const heads = ["Message", "Sender", "Recipients", "Size", "Age", "Tries"];
  const common = (tr, q) => {
    cell(tr, q.name); cell(tr, q.sender); cell(tr, q.recipients.join(", "));
    cell(tr, q.size + " bytes"); cell(tr, age(q.age)); cell(tr, String(q.tries));
  };
  fillTable($("queue-waiting"), heads, data.waiting, common);
  fillTable($("queue-aside"), heads.concat([""]), data.setAside, (tr, q) => {
    common(tr, q);
    const c = cell(tr, "");
    c.appendChild(button("Send again", () => change("/api/queue/resend", { name: q.name }, q.name + " will be sent again.")));
    c.appendChild(button("Delete", () => {
      if (confirm("Delete the message " + q.name + "?")) change("/api/queue/delete", { name: q.name }, q.name + " deleted.");
    }, true));
  });
  fillTable($("queue-reports"), ["Report", "Sender", "Recipient", "Reason", "Age", ""], data.reports, (tr, r) => {
    cell(tr, r.name + (r.setAside ? " (set aside)" : "")); cell(tr, r.sender); cell(tr, r.recipient || "(the message)");
    cell(tr, r.reason); cell(tr, age(r.age));
    cell(tr, "").appendChild(button("Delete", () => {
      if (confirm("Delete the failure report " + r.name + "?")) change("/api/report/delete", { name: r.name }, r.name + " deleted.");
    }, true));
  });
}

async function loadProvider() {
  const data = await call("GET", "/api/provider");
  const f = $("relay-form");
  f.gateway.value = data.gateway;
  f.port.value = data.port;
  f.security.value = data.security;
  f.user.value = data.user;
  f.password.value = "";
  f.password.placeholder = data.passwordSet ? "set; empty: keep" : "not set";
  $("relay-signin").hidden = !data.relayOAuth;
  $("smartpop-state").textContent = "SmartPop is " + (data.smartpopEnabled ? "enabled" : "disabled") + ".";
  fillTable($("smartpop-list"), ["Account", "Delivered to", "Security", "Port", ""], data.smartpop, (tr, a) => {
    cell(tr, a.account); cell(tr, a.deliverTo || "the recipients its headers name");
    cell(tr, a.security + (a.fingerprint ? " (pinned)" : "")); cell(tr, a.port || String(a.effectivePort) + " (usual)");
    const actions = cell(tr, "");
    if (a.oauth) actions.appendChild(button("Sign in", () => signIn(a.account, "SmartPop account " + a.account)));
    actions.appendChild(button("Edit", () => {
      const f = $("smartpop-edit-form");
      $("smartpop-edit").hidden = false;
      $("smartpop-edit-title").textContent = "Account " + a.account;
      f.elements.namedItem("account").value = a.account;
      f.elements.namedItem("security").value = a.security;
      f.elements.namedItem("port").value = a.port;
      f.elements.namedItem("fingerprint").value = a.fingerprint;
    }));
    actions.appendChild(button("Remove", () => {
      if (confirm("Remove the SmartPop account " + a.account + "?")) {
        change("/api/smartpop/remove", { account: a.account }, "Account removed.");
      }
    }, true));
  });
  const s = $("schedule-list");
  s.replaceChildren();
  for (const e of data.schedule) { const li = document.createElement("li"); li.textContent = e; s.appendChild(li); }
  if (!data.schedule.length) { const li = document.createElement("li"); li.textContent = "No schedule entries."; s.appendChild(li); }
  const sf = $("schedule-form");
  const st = data.scheduleSettings;
  for (const [name, value] of Object.entries(st)) {
    const field = sf.elements.namedItem(name);
    if (!field) continue;
    if (field.type === "checkbox") field.checked = value; else field.value = String(value);
  }
  for (const set of ["a", "b"]) {
    for (let d = 0; d < 7; d++) sf.elements.namedItem(set + "-day" + d).checked = ((st[set].days >> d) & 1) === 1;
    sf.elements.namedItem(set + "-times").value = st[set].times.replace(/,$/, "").split(",").join(", ");
  }
}

// OAuth2 device sign-in: the provider's address and code, then a poll at the provider's pace
// until the server says done or failed.
let signInTimer = null;

async function signIn(target, what) {
  clearTimeout(signInTimer);
  let grant;
  try {
    grant = await call("POST", "/api/oauth/start", { target });
  } catch (e) { say(e.message, true); return; }
  $("signin").hidden = false;
  $("signin-title").textContent = "Sign in: " + what;
  const link = $("signin-address");
  const address = grant.completeAddress || grant.address;
  link.textContent = grant.address;
  if (/^https?:\/\//.test(address)) link.href = address; else link.removeAttribute("href");
  $("signin-code").textContent = grant.code;
  $("signin-state").textContent = "Waiting for the sign-in ...";
  const poll = async () => {
    let r;
    try {
      r = await call("POST", "/api/oauth/poll", { id: grant.id });
    } catch (e) { $("signin-state").textContent = e.message; return; }
    if (r.state === "pending") { signInTimer = setTimeout(poll, grant.interval * 1000); return; }
    $("signin-state").textContent = r.state === "done" ? "Signed in: " + what + " is ready." : r.error;
    say(r.state === "done" ? "Signed in." : r.error, r.state !== "done");
  };
  signInTimer = setTimeout(poll, grant.interval * 1000);
}

const loaders = { status: loadStatus, mailboxes: loadMailboxes, queue: loadQueue, provider: loadProvider };

function currentPage() {
  const p = location.hash.replace("#", "");
  return loaders[p] ? p : "status";
}

async function showPage(page) {
  for (const s of document.querySelectorAll("section.page")) s.hidden = s.id !== page;
  for (const a of document.querySelectorAll("nav a")) a.classList.toggle("current", a.dataset.page === page);
  clearInterval(pollTimer);
  pollTimer = null;
  try {
    await loaders[page]();
    // The status page stays live by a light poll; the others load when shown or changed.
    if (page === "status") pollTimer = setInterval(() => loadStatus().catch((e) => say(e.message, true)), POLL_MS);
  } catch (e) { say(e.message, true); }
}

function showLogin() {
  clearInterval(pollTimer);
  csrf = "";
  $("nav").hidden = true;
  for (const s of document.querySelectorAll("section.page")) s.hidden = true;
  $("login").hidden = false;
}

function showConsole() {
  $("login").hidden = true;
  $("nav").hidden = false;
  showPage(currentPage());
}

document.addEventListener("DOMContentLoaded", async () => {
  $("login-form").addEventListener("submit", async (ev) => {
    ev.preventDefault();
    const form = ev.target;
    try {
      const res = await fetch("/login", {
        method: "POST", credentials: "same-origin",
        headers: { "Content-Type": "application/x-www-form-urlencoded" },
        body: new URLSearchParams({ password: form.password.value }).toString(),
      });
      const data = await res.json().catch(() => ({}));
      form.password.value = "";
      if (!res.ok) return say(data.error || "The login failed.", true);
      csrf = data.csrf;
      say("", false);
      showConsole();
    } catch (e) { say(e.message, true); }
  });
  for (const form of document.querySelectorAll("form[data-post]")) {
    form.addEventListener("submit", (ev) => {
      ev.preventDefault();
      const fields = Object.fromEntries(new FormData(form).entries());
      // A box sends nothing when unticked: say "off" so that the server turns it off.
      for (const box of form.querySelectorAll("input[type=checkbox]")) fields[box.name] = box.checked ? "on" : "off";
      change(form.dataset.post, fields, "Saved.").then((taken) => {
        // Passwords never stay in a field; a form for new entries empties once taken.
        for (const i of form.querySelectorAll("input[type=password]")) i.value = "";
        if (taken && !("keep" in form.dataset)) {
          for (const i of form.querySelectorAll("input:not([type=hidden]), textarea")) i.value = "";
        }
      });
    });
  }
  for (const b of document.querySelectorAll("[data-action]")) {
    b.addEventListener("click", () => change("/api/action/" + b.dataset.action, {}, b.textContent + " requested."));
  }
  $("members-form").addEventListener("submit", (ev) => {
    ev.preventDefault();
    changeMembers("add", ev.target.address.value).then(() => { ev.target.address.value = ""; });
  });
  $("relay-signin").addEventListener("click", () => signIn("relay", "the relay"));
  $("smartpop-enable").addEventListener("click", () => change("/api/smartpop/enable", {}, "SmartPop enabled."));
  $("smartpop-disable").addEventListener("click", () => change("/api/smartpop/disable", {}, "SmartPop disabled."));
  $("logout").addEventListener("click", async () => {
    try { await call("POST", "/logout"); } catch (e) { /* the session has ended either way */ }
    showLogin();
  });
  window.addEventListener("hashchange", () => { if (csrf) { say("", false); showPage(currentPage()); } });
  try {
    const s = await call("GET", "/api/session");
    csrf = s.csrf;
    showConsole();
  } catch (e) { showLogin(); }
});
