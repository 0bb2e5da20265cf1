// Drives the web console in Debian's chromium (headless) for the integration tests and the
// screenshot script. Reads one command per line on standard input and answers each with one
// JSON line on standard output: {"ok": true, "value": ...} or {"ok": false, "error": "..."}.
//
//   open URL                 load the console (its certificate is the test's self-signed one)
//   login PASSWORD           type the password and log in; value: the page's message ("" on success)
//   page NAME                show status|mailboxes|queue|provider
//   shot PATH                a screenshot of the whole page
//   form ACTION JSON         fill the form posting to ACTION with the fields, submit; value: message
//   wait_text SELECTOR TEXT  wait until the element holds TEXT (the live log, a table)
//   text SELECTOR            the element's text
//   press SELECTOR           click an element that shows no message
//   wait_gone SELECTOR TEXT  wait until the element no longer holds TEXT (a table shown afresh)
//   click_in_row TABLE TEXT LABEL   click the button LABEL in the row of TABLE holding TEXT;
//                            value: the message shown afterwards
//   press_in_row TABLE TEXT LABEL   the same, for a button that shows something else than a message
//   click SELECTOR           click an element; value: the message shown afterwards
//   type_submit FORM TEXT    type TEXT into the form's field and submit it; value: the message
//   fetch METHOD PATH BODY CSRF    a request from the page's own script (CSRF: "token" or "none");
//                            value: the HTTP status
//   quit
"use strict";

const puppeteer = require("puppeteer-core");
const readline = require("readline");

const CHROMIUM = process.env.CHROMIUM || "/usr/bin/chromium";
const WAIT_MS = 20000;

async function main() {
  const browser = await puppeteer.launch({
    executablePath: CHROMIUM,
    headless: true,
    // The test's certificate is self-signed; no sandbox inside containers run as root.
    args: ["--no-sandbox", "--ignore-certificate-errors", "--disable-gpu"],
  });
  const page = await browser.newPage();
  await page.setViewport({ width: Number(process.env.VIEW_WIDTH || 1000), height: Number(process.env.VIEW_HEIGHT || 800) });
  page.on("dialog", (d) => d.accept());
  let csrf = "";
  page.on("response", async (r) => {
    if (r.url().endsWith("/login") && r.ok()) {
      try { csrf = (await r.json()).csrf; } catch (e) { /* not JSON */ }
    }
  });

  const message = async () => page.$eval("#message", (m) => (m.hidden ? "" : m.textContent));
  const settle = async () => { await new Promise((r) => setTimeout(r, 300)); };
  // After a submit: the message the page shows once the request is answered.
  const messageAfter = async (act) => {
    await page.$eval("#message", (m) => { m.textContent = ""; m.hidden = true; });
    await act();
    await page.waitForFunction(() => !document.getElementById("message").hidden, { timeout: WAIT_MS });
    return message();
  };

  const commands = {
    open: async (url) => { await page.goto(url, { waitUntil: "networkidle0" }); return true; },
    login: async (password) => {
      await page.waitForSelector("#login-form input[name=password]", { visible: true, timeout: WAIT_MS });
      await page.type("#login-form input[name=password]", password);
      await page.$eval("#message", (m) => { m.textContent = ""; m.hidden = true; });
      await page.click("#login-form button");
      await page.waitForFunction(
        () => !document.getElementById("nav").hidden || !document.getElementById("message").hidden,
        { timeout: WAIT_MS });
      await settle();
      return message();
    },
    page: async (name) => {
      await page.click(`nav a[data-page=${name}]`);
      await page.waitForSelector(`#${name}:not([hidden])`, { timeout: WAIT_MS });
      await settle();
      return true;
    },
    shot: async (path) => { await page.screenshot({ path, fullPage: true }); return path; },
    form: async (action, json) => {
      const fields = JSON.parse(json);
      const form = `form[data-post="${action}"]`;
      for (const [name, value] of Object.entries(fields)) {
        const sel = `${form} [name=${name}]`;
        const tag = await page.$eval(sel, (e) => (e.type === "checkbox" ? "CHECKBOX" : e.tagName));
        if (tag === "CHECKBOX") {
          await page.$eval(sel, (e, v) => { e.checked = v === "on"; }, value);
        } else if (tag === "SELECT") {
          await page.select(sel, value);
        } else {
          await page.$eval(sel, (e) => { e.value = ""; });
          await page.type(sel, value);
        }
      }
      return messageAfter(() => page.click(`${form} button[type=submit]`));
    },
    wait_text: async (selector, text) => {
      await page.waitForFunction((s, t) => {
        const e = document.querySelector(s);
        return e && e.textContent.includes(t);
      }, { timeout: WAIT_MS }, selector, text);
      return true;
    },
    press: async (selector) => { await page.click(selector); return true; },
    text: async (selector) => page.$eval(selector, (e) => e.textContent),
    wait_gone: async (selector, text) => {
      await page.waitForFunction((s, t) => {
        const e = document.querySelector(s);
        return e && !e.textContent.includes(t);
      }, { timeout: WAIT_MS }, selector, text);
      return true;
    },
    click_in_row: async (table, text, label) => {
      await commands.pick_in_row(table, text, label);
      return messageAfter(() => page.click("[data-pick='1']"));
    },
    press_in_row: async (table, text, label) => {
      await commands.pick_in_row(table, text, label);
      await page.click("[data-pick='1']");
      await settle();
      return true;
    },
    pick_in_row: async (table, text, label) => {
      await page.$$eval("[data-pick]", (all) => all.forEach((e) => e.removeAttribute("data-pick")));
      const clicked = await page.evaluate((t, x, l) => {
        for (const row of document.querySelectorAll(`${t} tr`)) {
          if (!row.textContent.includes(x)) continue;
          for (const b of row.querySelectorAll("button")) {
            if (b.textContent === l) { b.setAttribute("data-pick", "1"); return true; }
          }
        }
        return false;
      }, table, text, label);
      if (!clicked) throw new Error(`no button ${label} in a row of ${table} holding ${text}`);
      return true;
    },
    click: async (selector) => messageAfter(() => page.click(selector)),
    type_submit: async (form, text) => {
      await page.type(`${form} input`, text);
      return messageAfter(() => page.click(`${form} button[type=submit]`));
    },
    fetch: async (method, path, body, withToken) => {
      return page.evaluate(async (m, p, b, token) => {
        const headers = { "Content-Type": "application/x-www-form-urlencoded" };
        if (token) headers["X-CSRF-Token"] = token;
        const res = await fetch(p, { method: m, headers, credentials: "same-origin", body: m === "GET" ? undefined : b });
        return res.status;
      }, method, path, body, withToken === "token" ? csrf : "");
    },
  };

  const rl = readline.createInterface({ input: process.stdin });
  for await (const line of rl) {
    const [cmd, ...rest] = line.split(" ");
    if (cmd === "quit") break;
    // The form command's JSON and texts may hold blanks: the last argument takes the rest.
    const want = { press_in_row: 3, type_submit: 2, login: 1, form: 2, wait_text: 2, wait_gone: 2, text: 1, press: 1, click_in_row: 3, fetch: 4, open: 1, shot: 1, page: 1, click: 1 }[cmd] || 0;
    const args = rest.slice(0, want - 1).concat(want ? [rest.slice(want - 1).join(" ")] : []);
    try {
      if (!commands[cmd]) throw new Error("unknown command " + cmd);
      const value = await commands[cmd](...args);
      process.stdout.write(JSON.stringify({ ok: true, value }) + "\n");
    } catch (e) {
      let shown = "";
      try { shown = await message(); } catch (x) { /* no page */ }
      process.stdout.write(JSON.stringify({ ok: false, error: String(e && e.message || e), message: shown }) + "\n");
    }
  }
  await browser.close();
}

main().catch((e) => { console.error(e); process.exit(1); });
