// Connects to the server with the official MCP TypeScript SDK's stdio
// client, as an editor would, and checks what tools/list hands back.
import { Client } from "@modelcontextprotocol/sdk/client/index.js";
import { StdioClientTransport } from "@modelcontextprotocol/sdk/client/stdio.js";

const server = process.argv[2];
const transport = new StdioClientTransport({ command: server, args: [], stderr: "pipe" });
const client = new Client({ name: "tarnwick-sdk-test", version: "1.0.0" });

function fail(message) {
  console.error(`FAIL: ${message}`);
  process.exit(1);
}

const timer = setTimeout(() => fail("timed out"), 30000);
await client.connect(transport);
const info = client.getServerVersion();
if (info?.name !== "tarnwick") fail(`server name ${JSON.stringify(info)}`);

const { tools } = await client.listTools();
if (tools.length !== 19) fail(`expected 19 tools, got ${tools.length}`);
for (const tool of tools) {
  if (!/^cargo_[a-z_]+$/.test(tool.name)) fail(`bad tool name ${tool.name}`);
  if (typeof tool.description !== "string" || tool.description.length === 0)
    fail(`${tool.name} has no description`);
  if (tool.inputSchema?.type !== "object" || typeof tool.inputSchema.properties !== "object")
    fail(`${tool.name} has no object input schema`);
}
await client.ping();
await client.close();
clearTimeout(timer);
console.log(`1 passed, 0 failed: ${tools.length} tools listed through the MCP SDK client`);
