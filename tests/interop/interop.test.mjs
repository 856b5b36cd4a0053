// Drives the built server with MCP clients that were written elsewhere: the
// TypeScript SDK client (through its StdioClientTransport, as desktop and IDE
// hosts do) and the Inspector CLI. Every vault here is a real temporary
// directory; the server binary comes from VESTIGOR_BINARY, the example vault
// from VESTIGOR_EXAMPLE_VAULT, and the expected initialize and tools/list
// results from the golden files in VESTIGOR_GOLDEN_DIR (all set by CTest).
import { after, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import { execFile } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { promisify } from 'node:util';

import { Client } from '@modelcontextprotocol/sdk/client/index.js';
import { StdioClientTransport } from '@modelcontextprotocol/sdk/client/stdio.js';

const binary = process.env.VESTIGOR_BINARY;
const exampleVault = process.env.VESTIGOR_EXAMPLE_VAULT;
assert.ok(binary && fs.existsSync(binary), `VESTIGOR_BINARY must name the built server, got ${binary}`);
assert.ok(exampleVault && fs.existsSync(exampleVault), `VESTIGOR_EXAMPLE_VAULT must name examples/vault, got ${exampleVault}`);
const goldenDir = process.env.VESTIGOR_GOLDEN_DIR;
assert.ok(goldenDir && fs.existsSync(goldenDir), `VESTIGOR_GOLDEN_DIR must name tests/golden, got ${goldenDir}`);
const golden = (name) => JSON.parse(fs.readFileSync(path.join(goldenDir, name), 'utf8'));
const initializeResult = golden('initialize.json');
const toolsList = golden('tools_list.json');

const here = path.dirname(fileURLToPath(import.meta.url));
const inspectorBin = path.join(here, 'node_modules', '.bin', 'mcp-inspector');

// UTC+14 all year: the local hour always differs from UTC, so the daily log
// proves that TZ from the host's env block reaches the server.
const ZONE = 'Pacific/Kiritimati';

const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'vestigor-interop-'));
let configCount = 0;

// Writes the host configuration the README shows (an "mcpServers" block) for
// a vault, and returns its path. Hosts start the server with a minimal
// environment (the SDK passes on only HOME, LOGNAME, PATH, SHELL, TERM and
// USER), so the vault and the zone must be in "env".
function writeHostConfig(vault) {
  configCount += 1;
  const file = path.join(scratch, `host-config-${configCount}.json`);
  const config = {
    mcpServers: {
      vestigor: { command: binary, args: [], env: { VESTIGOR_VAULT: vault, TZ: ZONE } },
    },
  };
  fs.writeFileSync(file, JSON.stringify(config, null, 2));
  return file;
}

// The server entry a host reads from its configuration file.
function hostEntry(vault) {
  return JSON.parse(fs.readFileSync(writeHostConfig(vault), 'utf8')).mcpServers.vestigor;
}

let vaultCount = 0;

function makeVault(files = {}) {
  vaultCount += 1;
  const root = path.join(scratch, `vault-${vaultCount}`);
  fs.mkdirSync(root);
  for (const [name, content] of Object.entries(files)) {
    fs.mkdirSync(path.dirname(path.join(root, name)), { recursive: true });
    fs.writeFileSync(path.join(root, name), content);
  }
  return root;
}

after(() => fs.rmSync(scratch, { recursive: true, force: true }));

// Keeps every message the client receives, so that the test can look at the
// wire values the SDK does not expose (the protocol version, stray messages).
class RecordingTransport extends StdioClientTransport {
  received = [];
  #handler;
  get onmessage() {
    return this.#handler;
  }
  set onmessage(handler) {
    this.#handler = handler && ((message, extra) => {
      this.received.push(message);
      handler(message, extra);
    });
  }
}

async function connect(entry) {
  const transport = new RecordingTransport({ ...entry, stderr: 'pipe' });
  const stderr = [];
  transport.stderr.on('data', (chunk) => stderr.push(chunk));
  const client = new Client({ name: 'vestigor-interop-test', version: '1.0.0' });
  const errors = [];
  client.onerror = (error) => errors.push(error);
  await client.connect(transport);
  return { client, transport, errors, stderr: () => Buffer.concat(stderr).toString('utf8') };
}

function textResult(text, isError = false) {
  return { content: [{ type: 'text', text }], isError };
}

function localStamp(when) {
  const parts = {};
  const format = new Intl.DateTimeFormat('en-GB', {
    timeZone: ZONE, year: 'numeric', month: '2-digit', day: '2-digit',
    hour: '2-digit', minute: '2-digit', hourCycle: 'h23',
  });
  for (const part of format.formatToParts(when)) {
    parts[part.type] = part.value;
  }
  return { date: `${parts.year}-${parts.month}-${parts.day}`, time: `${parts.hour}:${parts.minute}` };
}

describe('SDK client over stdio', { timeout: 60_000 }, () => {
  const currentState = '# Now\r\nCafé ☕ is open\r\n';
  const vault = makeVault({
    'current-state.md': currentState,
    'agents/memory/open-threads.md': '- [ ] thread one\n',
    'B.md': 'x\n\nThe ALPHA plan\nalpha again\n',
    'a/b.md': '\t  - alpha  in a/b  \n',
    'a.md': 'nothing\naLpHa here\n',
    '.hidden.md': 'alpha hidden\n',
    '.cache/x.md': 'alpha cached\n',
    'Notes.MD': 'alpha shouting\n',
  });
  let session;

  before(async () => {
    session = await connect(hostEntry(vault));
  });
  after(async () => {
    await session?.client.close();
  });

  const call = (name, args) => session.client.callTool({ name, arguments: args });

  test('initialize reports the server, its version, the tools capability and 2024-11-05', () => {
    assert.deepEqual(session.client.getServerVersion(), initializeResult.serverInfo);
    assert.deepEqual(session.client.getServerCapabilities(), initializeResult.capabilities);
    assert.equal(session.client.getInstructions(), undefined);
    assert.equal(session.transport.received[0].result.protocolVersion, '2024-11-05');
    assert.deepEqual(session.transport.received[0].result, initializeResult);
  });

  test('ping answers with an empty result', async () => {
    assert.deepEqual(await session.client.ping(), {});
  });

  test('listTools returns the four tools with their exact schemas, in order', async () => {
    assert.deepEqual(await session.client.listTools(), toolsList);
  });

  test('get_current_state returns the note byte for byte, then reports it missing', async () => {
    assert.deepEqual(await call('get_current_state', {}), textResult(currentState));
    fs.renameSync(path.join(vault, 'current-state.md'), path.join(vault, 'state.txt'));
    try {
      assert.deepEqual(await call('get_current_state'),
        textResult('Error: no current-state.md found in vault', true));
    } finally {
      fs.renameSync(path.join(vault, 'state.txt'), path.join(vault, 'current-state.md'));
    }
  });

  test('list_open_threads finds agents/memory/open-threads.md, then answers that there is none', async () => {
    assert.deepEqual(await call('list_open_threads', {}), textResult('- [ ] thread one\n'));
    const note = path.join(vault, 'agents/memory/open-threads.md');
    fs.renameSync(note, `${note}.bak`);
    try {
      assert.deepEqual(await call('list_open_threads', {}), textResult('(no open-threads.md yet)'));
    } finally {
      fs.renameSync(`${note}.bak`, note);
    }
  });

  test('search reports the first matching line of each note in path order, skipping hidden and .MD files', async () => {
    assert.deepEqual(await call('search', { query: 'alpha' }), textResult(
      '3 file match(es) for "alpha":\n\n' +
      'B.md:3: The ALPHA plan\n' +
      'a/b.md:1: - alpha  in a/b\n' +
      'a.md:2: aLpHa here'));
  });

  test('search without a hit, and with an empty query', async () => {
    assert.deepEqual(await call('search', { query: 'Zebra "quoted"' }),
      textResult('No matches for "Zebra "quoted"".'));
    assert.deepEqual(await call('search', { query: '  \t' }), textResult('Error: query is empty', true));
    assert.deepEqual(await call('search', {}), textResult('Error: query is empty', true));
  });

  test('an unknown tool comes back as isError content, not as a thrown error', async () => {
    assert.deepEqual(await call('no_such_tool', {}), textResult('Error: unknown tool: no_such_tool', true));
  });

  test('requests sent without waiting for answers each get their own answer', async () => {
    // Hosts issue calls concurrently; the server reads several lines from one
    // pipe read and answers in order, and the SDK pairs answers by id.
    const queries = Array.from({ length: 40 }, (_, i) => (i % 2 === 0 ? `miss-${i}` : 'ALPHA PLAN'));
    const results = await Promise.all(queries.map((query) => call('search', { query })));
    results.forEach((result, i) => {
      assert.deepEqual(result, i % 2 === 0
        ? textResult(`No matches for "miss-${i}".`)
        : textResult('1 file match(es) for "ALPHA PLAN":\n\nB.md:3: The ALPHA plan'));
    });
  });

  test('a 3 MiB request line is read whole and echoed in the answer', async () => {
    const query = `${'ünïcode-'.repeat(3 * 131072)}end`;
    assert.deepEqual(await call('search', { query }), textResult(`No matches for "${query}".`));
  });

  test('the client saw only answers to its own requests and no transport error', () => {
    assert.deepEqual(session.errors, []);
    for (const message of session.transport.received) {
      assert.equal(message.jsonrpc, '2.0');
      assert.ok('result' in message, `unexpected message ${JSON.stringify(message)}`);
    }
    const lines = session.stderr().split('\n');
    assert.equal(lines[0], '[vestigor-mcp] starting on stdio');
    assert.ok(lines.includes('[vestigor-mcp] -> notifications/initialized'));
    assert.ok(lines.slice(0, -1).every((line) => line.startsWith('[vestigor-mcp] ')), session.stderr());
  });
});

describe('append_daily_log through the SDK client', { timeout: 60_000 }, () => {
  test('appends timestamped lines in the TZ of the env block, read back from disk and found by search', async () => {
    // The two calls and the expected text must fall into one local minute;
    // a run that straddles a minute boundary is repeated on a fresh vault.
    for (let attempt = 1; attempt <= 3; attempt += 1) {
      const vault = makeVault();
      const session = await connect(hostEntry(vault));
      try {
        const start = localStamp(new Date());
        const first = await session.client.callTool({ name: 'append_daily_log', arguments: { text: '  Shipped zebra build ' } });
        const second = await session.client.callTool({ name: 'append_daily_log', arguments: { text: 'Reviewed notes' } });
        const found = await session.client.callTool({ name: 'search', arguments: { query: 'ZEBRA' } });
        const end = localStamp(new Date());
        if (start.date !== end.date || start.time !== end.time) {
          continue;
        }
        const { date, time } = start;
        assert.deepEqual(first, textResult(`Appended to daily/${date}.md`));
        assert.deepEqual(second, textResult(`Appended to daily/${date}.md`));
        assert.equal(fs.readFileSync(path.join(vault, 'daily', `${date}.md`), 'utf8'),
          `# ${date}\n\n- ${time} Shipped zebra build\n- ${time} Reviewed notes\n`);
        assert.deepEqual(fs.readdirSync(path.join(vault, 'daily')), [`${date}.md`]);
        assert.deepEqual(found, textResult(
          `1 file match(es) for "ZEBRA":\n\ndaily/${date}.md:3: - ${time} Shipped zebra build`));
        assert.deepEqual(session.errors, []);
        return;
      } finally {
        await session.client.close();
      }
    }
    assert.fail('three attempts in a row straddled a minute boundary');
  });

  test('blank text is refused and nothing is created', async () => {
    const vault = makeVault();
    const session = await connect(hostEntry(vault));
    try {
      assert.deepEqual(await session.client.callTool({ name: 'append_daily_log', arguments: { text: ' \n ' } }),
        textResult('Error: text is empty', true));
      assert.deepEqual(fs.readdirSync(vault), []);
    } finally {
      await session.client.close();
    }
  });
});

describe('host limits', { timeout: 60_000 }, () => {
  test('without the env block every vault tool answers that VESTIGOR_VAULT is not set', async () => {
    const session = await connect({ command: binary, args: [] });
    try {
      const unset = textResult('Error: VESTIGOR_VAULT env var is not set', true);
      assert.deepEqual(await session.client.callTool({ name: 'get_current_state', arguments: {} }), unset);
      assert.deepEqual(await session.client.callTool({ name: 'list_open_threads', arguments: {} }), unset);
      assert.deepEqual(await session.client.callTool({ name: 'search', arguments: { query: 'x' } }), unset);
      assert.deepEqual(await session.client.callTool({ name: 'append_daily_log', arguments: { text: 'x' } }), unset);
    } finally {
      await session.client.close();
    }
  });

  // The SDK's stdio transport buffers at most 10 MiB of unread output; a
  // longer response line makes it close the connection.
  const line = 'All work and no play makes a long note. '.repeat(2) + '\n';
  const noteOfSize = (bytes) => line.repeat(Math.ceil(bytes / line.length));

  test('a 9 MiB note arrives whole', async () => {
    const note = noteOfSize(9 * 1024 * 1024);
    const session = await connect(hostEntry(makeVault({ 'current-state.md': note })));
    try {
      const result = await session.client.callTool({ name: 'get_current_state', arguments: {} });
      assert.equal(result.isError, false);
      assert.ok(result.content[0].text === note, 'the note came back changed');
      assert.deepEqual(session.errors, []);
    } finally {
      await session.client.close();
    }
  });

  test('a response line over 10 MiB makes the SDK client close the connection', async () => {
    const session = await connect(hostEntry(makeVault({ 'current-state.md': noteOfSize(11 * 1024 * 1024) })));
    try {
      await assert.rejects(session.client.callTool({ name: 'get_current_state', arguments: {} }), /Connection closed/);
      assert.match(String(session.errors[0]), /ReadBuffer exceeded maximum size of 10485760 bytes/);
    } finally {
      await session.client.close();
    }
  });
});

describe('Inspector CLI on the example vault', { timeout: 60_000 }, () => {
  const run = promisify(execFile);
  const home = fs.mkdtempSync(path.join(scratch, 'home-'));

  const config = writeHostConfig(exampleVault);

  // Starts the server from the same host configuration file, as a host would.
  async function inspect(...args) {
    const { stdout } = await run(process.execPath, [
      inspectorBin, '--cli', '--config', config, '--server', 'vestigor', ...args,
    ], {
      timeout: 30_000,
      maxBuffer: 16 * 1024 * 1024,
      env: { PATH: process.env.PATH, HOME: home, MCP_INSPECTOR_SECRET_STORE: 'memory' },
    });
    return JSON.parse(stdout);
  }

  test('lists the four tools and finds no schema portability problem', async () => {
    const listed = await inspect('--method', 'tools/list', '--strict');
    assert.deepEqual(listed, toolsList);
  });

  test('calls search and gets the first matching line of each visible note', async () => {
    assert.deepEqual(await inspect('--method', 'tools/call', '--tool-name', 'search', '--tool-arg', 'query=vault'),
      textResult(
        '6 file match(es) for "vault":\n\n' +
        'agents/memory/current-state.md:3: An older snapshot kept by the agent; the one at the top of the vault wins.\n' +
        'daily/2026-12-06.md:4: - 16:40 Talked to Dana about the vault layout.\n' +
        'ideas.md:4: - Keep the vault small enough to read in one sitting.\n' +
        'open-threads.md:4: - [ ] Decide whether the vault lives in a synced folder.\n' +
        'projects/vestigor/decisions.md:3: - 2026-11-30: The vault is plain Markdown; no database, no index.\n' +
        'projects/vestigor/roadmap.md:3: 1. Search every note of the vault quickly, with exact Unicode case rules.'));
  });

  test('calls search with a non-ASCII query that needs full Unicode lower-casing', async () => {
    assert.deepEqual(await inspect('--method', 'tools/call', '--tool-name', 'search', '--tool-arg', 'query=ZÜRICH meetup; speaks German and Greek (ΟΔΟΣ'),
      textResult(
        '1 file match(es) for "ZÜRICH meetup; speaks German and Greek (ΟΔΟΣ":\n\n' +
        'people/dana.md:4: Met at the Zürich meetup; speaks German and Greek (ΟΔΟΣ means street).'));
  });
});
