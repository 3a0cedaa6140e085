// A real browser (Debian's Chromium, driven by playwright-core) through the example CGI
// programs: fill the form and upload a file, follow a session across page loads and sign
// out, and see the error page's alert with its message intact.
//   node browser_test.mjs BASE_URL UPLOAD_FILE
import { chromium } from "playwright-core";
import { statSync } from "node:fs";
import { mkdtempSync, rmSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";

const [base, uploadFile] = process.argv.slice(2);
let failures = 0;
function check(what, condition, detail = "") {
  console.log(`${condition ? "ok  " : "FAIL"} ${what}${condition ? "" : `: ${detail}`}`);
  if (!condition) failures++;
}

const profile = mkdtempSync(join(tmpdir(), "nuvex-chromium-"));
const browser = await chromium.launch({
  executablePath: "/usr/bin/chromium",
  args: ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         `--user-data-dir=${profile}`],
});
try {
  const page = await browser.newPage();

  // The form with an upload.
  await page.goto(`${base}/form.cgi`);
  await page.fill("#name", "Ann");
  await page.fill("#note", "two <b>words</b> & more");
  await page.setInputFiles("#upload", uploadFile);
  await Promise.all([page.waitForNavigation(), page.click("#send")]);
  check("greeting after the post", (await page.textContent("#greeting")) === "Hello, Ann");
  const items = await page.$$eval("li", (nodes) => nodes.map((n) => n.textContent));
  check("the note arrives as typed, shown as text",
        items.includes("note = two <b>words</b> & more"), JSON.stringify(items));
  check("the upload's length", items.includes(`upload.length = ${statSync(uploadFile).size}`),
        JSON.stringify(items));
  check("the upload is stored",
        (await page.textContent("#stored")) === `stored ${statSync(uploadFile).size} bytes`);

  // The error page: its alert shows the message as written, markup included.
  await page.goto(`${base}/form.cgi`);
  const dialog = page.waitForEvent("dialog");
  await page.click("#send");
  const alert = await dialog;
  check("the error page's alert", alert.message() ===
        "The field 'name' must not be empty: <please> fill it in.", alert.message());
  await alert.accept();

  // A session across page loads.
  await page.goto(`${base}/session.cgi`);
  check("a new session", (await page.textContent("#state")) === "new");
  const id = await page.textContent("#session");
  await page.fill("#name", "Bob");
  await Promise.all([page.waitForNavigation(), page.click("#signin")]);
  check("signed in", (await page.textContent("#user")) === "Bob");
  check("the same session", (await page.textContent("#session")) === id);
  check("second visit", (await page.textContent("#visits")) === "2");
  await page.reload();
  check("resumed on reload", (await page.textContent("#state")) === "resumed" &&
        (await page.textContent("#visits")) === "3");
  await Promise.all([page.waitForNavigation(), page.click("#signout")]);
  check("signed out", (await page.textContent("#state")) === "signed out");
  const cookies = await page.context().cookies();
  check("the session cookie is gone", !cookies.some((c) => c.name === "QSESSIONID" && c.value),
        JSON.stringify(cookies));
  await Promise.all([page.waitForNavigation(), page.click("#again")]);
  check("a new session after signing out", (await page.textContent("#state")) === "new" &&
        (await page.textContent("#session")) !== id);
} finally {
  await browser.close();
  rmSync(profile, { recursive: true, force: true });
}
console.log(`${failures} failure(s)`);
process.exit(failures ? 1 : 0);
