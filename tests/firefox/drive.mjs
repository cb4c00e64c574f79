// Drives Debian's firefox-esr for tests/page_test.py over WebDriver BiDi with
// puppeteer-core: one JSON command a line on standard input, one JSON answer
// a line on standard output, so that the page's rows are written once, in the
// Python test, for every engine.
//   node drive.mjs FIREFOX PROFILE DOWNLOADS
// Commands: ["open", url], ["files", id, paths], ["type", id, text],
// ["click", id], ["run", script, ...args] (script: the body of an async
// function of args), ["requests"] (every URL the page asked for since it was
// opened). Each answer is {value} or {error}.
import puppeteer from 'puppeteer-core';
import {createInterface} from 'node:readline';

const [firefox, profile, downloads] = process.argv.slice(2);
const browser = await puppeteer.launch({
  browser: 'firefox',
  executablePath: firefox,
  headless: true,
  userDataDir: profile,
  extraPrefsFirefox: {
    // Downloads go to DOWNLOADS without a question.
    'browser.download.folderList': 2,
    'browser.download.dir': downloads,
    'browser.download.useDownloadDir': true,
    'browser.download.always_ask_before_handling_new_types': false,
    'browser.download.alwaysOpenPanel': false,
    'intl.accept_languages': 'en-US',
  },
});
const page = await browser.newPage();
let requests = [];
page.on('request', (request) => requests.push(request.url()));

const element = async (id) => {
  const found = await page.$(`#${id}`);
  if (!found) throw new Error(`no element #${id}`);
  return found;
};
const commands = {
  open: async (url) => {
    requests = [];
    await page.goto(url);
  },
  files: async (id, paths) => (await element(id)).uploadFile(...paths),
  type: async (id, text) => {
    const field = await element(id);
    await field.evaluate((f) => { f.value = ''; });
    await field.type(text);
  },
  click: async (id) => (await element(id)).click(),
  run: async (script, ...args) =>
    page.evaluate(`(async function () { ${script} }).apply(null, ${JSON.stringify(args)})`),
  requests: async () => requests,
};

for await (const line of createInterface({input: process.stdin})) {
  const [op, ...args] = JSON.parse(line);
  let answer;
  try {
    answer = {value: (await commands[op](...args)) ?? null};
  } catch (error) {
    answer = {error: String(error.message || error)};
  }
  process.stdout.write(JSON.stringify(answer) + '\n');
}
await browser.close();
