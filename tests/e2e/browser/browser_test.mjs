// A real browser (Debian's Chromium, driven by playwright-core) through the example CGI
// programs: fill the form and upload a file, follow a session across page loads and sign
// out, and see the error page's alert with its message intact.
//   node browser_test.mjs BASE_URL UPLOAD_FILE
import { chromium } from "playwright-core";
import { statSync } from "node:fs";

const [base, uploadFile] = process.argv.slice(2);
let failures = 0;
function check(what, condition, detail = "") {
  console.log(`${condition ? "ok  " : "FAIL"} ${what}${condition ? "" : `: ${detail}`}`);
  if (!condition) failures++;
}

const browser = await chromium.launch({
  executablePath: "/usr/bin/chromium",
  args: ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync"],
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
  const alerted = new Promise((resolve) => {
    page.once("dialog", async (dialog) => {
      const message = dialog.message();
      await dialog.accept();
      resolve(message);
    });
  });
  await page.click("#send");
  const message = await alerted;
  check("the error page's alert", message ===
        "The field 'name' must not be empty: <please> fill it in.", message);
  await page.close();

  // A session across page loads, in a page of its own (the error page went back in history).
  const context = await browser.newContext();
  const session = await context.newPage();
  await session.goto(`${base}/session.cgi`);
  check("a new session", (await session.textContent("#state")) === "new");
  const id = await session.textContent("#session");
  await session.fill("#name", "Bob");
  await Promise.all([session.waitForNavigation(), session.click("#signin")]);
  check("signed in", (await session.textContent("#user")) === "Bob");
  check("the same session", (await session.textContent("#session")) === id);
  check("second visit", (await session.textContent("#visits")) === "2");
  // Another client meanwhile (the same worker under FastCGI): nothing of Bob's reaches it.
  const other = await (await browser.newContext()).newPage();
  await other.goto(`${base}/session.cgi`);
  check("another client gets a session of its own",
        (await other.textContent("#state")) === "new" && (await other.textContent("#user")) === "" &&
        (await other.textContent("#session")) !== id);
  await other.goto(`${base}/form.cgi`);
  check("and sees no value of the earlier form post", (await other.$$("li")).length === 0 &&
        !(await other.content()).includes("Ann"));
  await other.context().close();
  await session.reload();
  check("resumed on reload", (await session.textContent("#state")) === "resumed" &&
        (await session.textContent("#visits")) === "3");
  await Promise.all([session.waitForNavigation(), session.click("#signout")]);
  check("signed out", (await session.textContent("#state")) === "signed out");
  const cookies = await context.cookies();
  check("the session cookie is gone", !cookies.some((c) => c.name === "QSESSIONID" && c.value),
        JSON.stringify(cookies));
  await Promise.all([session.waitForNavigation(), session.click("#again")]);
  check("a new session after signing out", (await session.textContent("#state")) === "new" &&
        (await session.textContent("#session")) !== id);
} finally {
  await browser.close();
}
console.log(`${failures} failure(s)`);
process.exit(failures ? 1 : 0);
