// The review dialog through the official MCP TypeScript SDK's client: a
// client that announces form elicitation gets the grouped dialog for a crate
// with five review suggestions, switches the view once, picks two, and finds
// exactly those in the result; a client that declines gets none of them.
import { mkdtempSync, mkdirSync, rmSync, writeFileSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { Client } from "@modelcontextprotocol/sdk/client/index.js";
import { StdioClientTransport } from "@modelcontextprotocol/sdk/client/stdio.js";
import { ElicitRequestSchema } from "@modelcontextprotocol/sdk/types.js";

const server = process.argv[2];

function fail(message) {
  console.error(`FAIL: ${message}`);
  process.exit(1);
}

function check(condition, message) {
  if (!condition) fail(message);
}

const timer = setTimeout(() => fail("timed out"), 100000);

const crate = mkdtempSync(join(tmpdir(), "tarnwick-sdk-"));
mkdirSync(join(crate, "src"));
writeFileSync(join(crate, "Cargo.toml"), '[package]\nname = "review"\nversion = "0.1.0"\nedition = "2021"\n');
writeFileSync(
  join(crate, "src", "lib.rs"),
  "pub fn AlphaOne() {}\npub fn BetaTwo() {}\npub fn GammaThree() {}\npub fn DeltaFour() {}\npub struct point_x;\n",
);

function optionsOf(request) {
  return request.params.requestedSchema.properties.selected.items.anyOf;
}

function idTitled(request, text) {
  const option = optionsOf(request).find((o) => /^\d+$/.test(o.const) && o.title.includes(text));
  check(option, `no option mentions ${text}`);
  return option.const;
}

async function checkCrate(answer) {
  const transport = new StdioClientTransport({
    command: server,
    args: ["--elicitation-mode=prompt"],
    env: { ...process.env, CARGO_NET_OFFLINE: "true" },
    stderr: "pipe",
  });
  const client = new Client(
    { name: "tarnwick-sdk-test", version: "1.0.0" },
    { capabilities: { elicitation: { form: {} } } },
  );
  const requests = [];
  client.setRequestHandler(ElicitRequestSchema, async (request, extra) => {
    requests.push({ ...request, id: extra.requestId });
    return answer(request, requests.length);
  });
  await client.connect(transport);
  const result = await client.callTool({ name: "cargo_check", arguments: { working_dir: crate } });
  await client.close();
  return { requests, texts: result.content.map((item) => item.text) };
}

let chosen = [];
const picked = await checkCrate((request, count) => {
  if (count === 1) {
    const values = optionsOf(request).map((o) => o.const);
    check(values.includes("all:non_snake_case"), `no group for non_snake_case: ${values}`);
    return { action: "accept", content: { selected: ["view:by-path"] } };
  }
  check(request.params.message.includes("(grouped by file)"), "second dialog not grouped by file");
  chosen = [idTitled(request, "BetaTwo"), idTitled(request, "point_x")];
  return { action: "accept", content: { selected: chosen } };
});
check(picked.requests.length === 2, `${picked.requests.length} dialogs`);
check(picked.requests[0].id !== picked.requests[1].id, `the second dialog reused ${picked.requests[0].id}`);
check(picked.texts.length === 2, `${picked.texts.length} content items`);
const selection = picked.texts[0];
check(selection.startsWith("2 suggestion(s) selected:\n\n"), `selection heading: ${selection}`);
const listed = [...selection.matchAll(/^(\d+)\. /gm)].map((m) => m[1]);
check(JSON.stringify(listed) === JSON.stringify([...chosen].sort((a, b) => a - b)), `listed ${listed}, chose ${chosen}`);
check(selection.includes("Replace with: beta_two") && selection.includes("Replace with: PointX"), selection);
check(!selection.includes("alpha_one"), `an unchosen suggestion is listed: ${selection}`);
check(picked.texts[1].includes('"reason":"x-tarnwick-invocation"'), "no cargo output");

const declined = await checkCrate(() => ({ action: "decline" }));
check(declined.requests.length === 1, `${declined.requests.length} dialogs when declining`);
check(declined.texts.length === 1, `${declined.texts.length} content items when declining`);
check(!declined.texts[0].includes("selected") && !declined.texts[0].includes("--- Needs review"),
  "declined suggestions are listed");

rmSync(crate, { recursive: true, force: true });
clearTimeout(timer);
console.log("2 passed, 0 failed: review dialog chosen and declined through the MCP SDK client");
