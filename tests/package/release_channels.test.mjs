// The npm packages, the MCP Bundle and the registry entry that
// scripts/release made (in VESTIGOR_DIST), used the way their users use
// them: the npm tarballs installed offline into temporary prefixes (with and
// without install scripts) and started by `npx --offline vestigor-mcp` and
// by the installed command; the bundle unpacked by the official CLI and
// started with the configuration a host derives from its manifest. Every
// start holds a real exchange through the TypeScript SDK client in a fresh
// vault, and stdout must carry nothing but JSON-RPC. Start-up to the first
// answer is measured against the bare server and reported (not asserted).
import { test, after } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync, spawn } from 'node:child_process';
import { createHash } from 'node:crypto';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { Client } from '@modelcontextprotocol/sdk/client/index.js';
import { StdioClientTransport } from '@modelcontextprotocol/sdk/client/stdio.js';
import { getMcpConfigForManifest } from '@anthropic-ai/mcpb';

const dist = path.resolve(process.env.VESTIGOR_DIST);
const version = process.env.VESTIGOR_VERSION;
const owner = process.env.VESTIGOR_OWNER;
const bareServer = process.env.VESTIGOR_BINARY;
const mcpbCli = path.resolve('node_modules/.bin/mcpb');
const platformPackage = `vestigor-mcp-${process.platform}-${process.arch}`;
const npmTarball = (name) => path.join(dist, 'npm', `${name}-${version}.tgz`);
const registryName = `io.github.${owner}/vestigor-mcp`;
const toolNames = ['get_current_state', 'list_open_threads', 'search', 'append_daily_log'];

const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'vestigor-release-'));
after(() => fs.rmSync(scratch, { recursive: true, force: true }));
let count = 0;
const fresh = (name) => {
  count += 1;
  const dir = path.join(scratch, `${name}-${count}`);
  fs.mkdirSync(dir);
  return dir;
};

const sha256 = (file) => createHash('sha256').update(fs.readFileSync(file)).digest('hex');
const packageJsonOf = (tarball) =>
  JSON.parse(execFileSync('tar', ['-xzOf', tarball, 'package/package.json'], { encoding: 'utf8' }));
// What a host passes to a server: a minimal environment plus its "env".
const hostEnv = (env) => ({ PATH: process.env.PATH, HOME: scratch, ...env });

// Installs both npm tarballs offline into a new project folder, with or
// without install scripts, and returns the folder.
function npmInstall(scripts) {
  const project = fresh(scripts ? 'npm-scripts' : 'npm-no-scripts');
  fs.writeFileSync(path.join(project, 'package.json'), '{"private":true}\n');
  execFileSync(
    'npm',
    ['install', '--offline', '--no-audit', '--no-fund', ...(scripts ? [] : ['--ignore-scripts']),
      npmTarball(platformPackage), npmTarball('vestigor-mcp')],
    { cwd: project, env: { ...process.env, npm_config_cache: path.join(scratch, 'npm-cache') }, stdio: ['ignore', 'ignore', 'pipe'] },
  );
  return project;
}

const vault = () => {
  const dir = fresh('vault');
  fs.writeFileSync(path.join(dir, 'current-state.md'), '# Now\nInstalled.\n');
  return dir;
};

// Connects the SDK client to a server started as `command args` and holds
// an exchange that touches the vault; returns the time from the start to
// the answer to initialize, in milliseconds.
async function exchange({ command, args = [], cwd, env = {} }, { checkPid } = {}) {
  const notes = env.VESTIGOR_VAULT ?? vault();
  const transport = new StdioClientTransport({
    command, args, cwd, stderr: 'pipe', env: hostEnv({ TZ: 'UTC', ...env, VESTIGOR_VAULT: notes }),
  });
  const client = new Client({ name: 'release-test', version: '0' });
  const started = performance.now();
  await client.connect(transport);
  const startup = performance.now() - started;
  try {
    assert.deepEqual(client.getServerVersion(), { name: 'vestigor-mcp', version });
    if (checkPid) checkPid(transport.pid);
    assert.deepEqual((await client.listTools()).tools.map((tool) => tool.name), toolNames);
    const state = await client.callTool({ name: 'get_current_state', arguments: {} });
    assert.deepEqual(state.content, [{ type: 'text', text: '# Now\nInstalled.\n' }]);
    const logged = await client.callTool({ name: 'append_daily_log', arguments: { text: `via ${path.basename(command)}` } });
    const note = /^Appended to (daily\/\d{4}-\d{2}-\d{2}\.md)$/.exec(logged.content[0].text);
    assert.ok(note, logged.content[0].text);
    assert.match(fs.readFileSync(path.join(notes, note[1]), 'utf8'), /\n- \d\d:\d\d via /);
  } finally {
    await client.close();
  }
  return startup;
}

// Runs the server without a client: every stdout line must be one JSON-RPC
// response, in order, and the exit status and signal are returned. With
// `signal`, the signal is sent once the first answer is in.
function rawRun({ command, args = [], cwd, env = {} }, signal) {
  return new Promise((resolve, reject) => {
    const child = spawn(command, args, { cwd, env: hostEnv({ VESTIGOR_VAULT: vault(), ...env }), stdio: 'pipe' });
    let stdout = '';
    let stderr = '';
    child.stdout.on('data', (data) => {
      stdout += data;
      if (signal && stdout.includes('\n') && !child.signalled) {
        child.signalled = true;
        child.kill(signal);
      }
    });
    child.stderr.on('data', (data) => (stderr += data));
    child.on('error', reject);
    child.on('close', (code, killedBy) => resolve({ code, signal: killedBy, stdout, stderr }));
    const requests = [
      { jsonrpc: '2.0', id: 1, method: 'initialize', params: { protocolVersion: '2024-11-05', capabilities: {}, clientInfo: { name: 'raw', version: '0' } } },
      { jsonrpc: '2.0', method: 'notifications/initialized' },
      { jsonrpc: '2.0', id: 2, method: 'tools/list' },
      { jsonrpc: '2.0', id: 3, method: 'tools/call', params: { name: 'search', arguments: { query: 'now' } } },
    ];
    child.stdin.write(requests.map((r) => `${JSON.stringify(r)}\n`).join(''));
    if (!signal) child.stdin.end();
  });
}

async function checkStdoutAndStatus(start, { viaNpx = false } = {}) {
  const run = await rawRun(start);
  assert.deepEqual([run.code, run.signal], [0, null], run.stderr);
  const lines = run.stdout.split('\n');
  assert.equal(lines.pop(), '', 'stdout must end with a line feed');
  assert.deepEqual(lines.map((line) => {
    const message = JSON.parse(line);
    assert.equal(message.jsonrpc, '2.0');
    assert.ok('result' in message, line);
    return message.id;
  }), [1, 2, 3]);
  // npm itself may speak on stderr (notices); the server and the launcher
  // only with their prefix.
  if (viaNpx) return;
  for (const line of run.stderr.split('\n').filter(Boolean)) assert.match(line, /^\[vestigor-mcp\] /);
  // A signal ends the server exactly as it ends the bare server.
  const [bare, wrapped] = [await rawRun({ command: bareServer }, 'SIGTERM'), await rawRun(start, 'SIGTERM')];
  assert.deepEqual([wrapped.code, wrapped.signal], [bare.code, bare.signal]);
}

const isElf = (file) => fs.readFileSync(file).subarray(0, 4).equals(Buffer.from('\x7fELF', 'latin1'));
const startups = {};
async function measure(name, start) {
  const times = [];
  for (let i = 0; i < 5; i += 1) times.push(await exchange(start));
  times.sort((a, b) => a - b);
  startups[name] = times[2];
}

test('the npm packages: one per platform with os/cpu, and the main one with bin, mcpName and optionalDependencies', () => {
  const platform = packageJsonOf(npmTarball(platformPackage));
  assert.deepEqual([platform.name, platform.version, platform.os, platform.cpu],
    [platformPackage, version, [process.platform], [process.arch]]);
  const main = packageJsonOf(npmTarball('vestigor-mcp'));
  assert.deepEqual([main.name, main.version, main.bin, main.mcpName],
    ['vestigor-mcp', version, { 'vestigor-mcp': 'bin/vestigor-mcp' }, registryName]);
  assert.equal(main.optionalDependencies[platformPackage], version);
  assert.equal(main.dependencies, undefined);
});

test('without install scripts, the Node launcher serves through npx and the installed command', async () => {
  const project = npmInstall(false);
  const command = path.join(project, 'node_modules', '.bin', 'vestigor-mcp');
  assert.ok(fs.readFileSync(command, 'utf8').startsWith('#!/usr/bin/env node'));
  await checkStdoutAndStatus({ command });
  await checkStdoutAndStatus({ command: 'npx', args: ['--offline', 'vestigor-mcp'], cwd: project }, { viaNpx: true });
  await measure('npm command, Node launcher', { command });
  await measure('npx --offline, Node launcher', { command: 'npx', args: ['--offline', 'vestigor-mcp'], cwd: project });
});

test('on a platform without a package, the launcher names the ones with a package and the other routes', () => {
  // The launcher as installed, beside a package.json whose platforms leave
  // this one out: what a user on such a platform meets.
  const project = npmInstall(false);
  const copy = fresh('npm-elsewhere');
  fs.mkdirSync(path.join(copy, 'bin'));
  fs.copyFileSync(path.join(project, 'node_modules', 'vestigor-mcp', 'bin', 'vestigor-mcp'), path.join(copy, 'bin', 'vestigor-mcp'));
  const main = JSON.parse(fs.readFileSync(path.join(project, 'node_modules', 'vestigor-mcp', 'package.json'), 'utf8'));
  delete main.optionalDependencies[platformPackage];
  main.optionalDependencies['vestigor-mcp-win32-x64'] = version;
  fs.writeFileSync(path.join(copy, 'package.json'), JSON.stringify(main));
  let failure;
  try {
    execFileSync(process.execPath, [path.join(copy, 'bin', 'vestigor-mcp')], { stdio: ['ignore', 'pipe', 'pipe'], encoding: 'utf8' });
  } catch (error) {
    failure = error;
  }
  assert.ok(failure, 'the launcher must fail');
  assert.deepEqual([failure.status, failure.stdout], [1, '']);
  const lines = failure.stderr.split('\n').filter(Boolean);
  assert.equal(lines.length, 1, failure.stderr);
  assert.match(lines[0], new RegExp(`^\\[vestigor-mcp\\] no npm package for ${process.platform}-${process.arch}: .*win32-x64`));
  assert.match(lines[0], /Homebrew/);
  assert.match(lines[0], /OCI image/);
});

test('with install scripts, the server itself takes the launcher\'s place', async () => {
  const project = npmInstall(true);
  const command = path.join(project, 'node_modules', '.bin', 'vestigor-mcp');
  assert.ok(isElf(command), 'the postinstall left the launcher in place');
  assert.ok(fs.readFileSync(command).equals(
    fs.readFileSync(path.join(project, 'node_modules', platformPackage, 'bin', 'vestigor-mcp'))));
  await checkStdoutAndStatus({ command });
  await checkStdoutAndStatus({ command: 'npx', args: ['--offline', 'vestigor-mcp'], cwd: project }, { viaNpx: true });
  // The host's child is the server: no Node process in between.
  await exchange({ command }, {
    checkPid: (pid) => assert.equal(path.basename(fs.readlinkSync(`/proc/${pid}/exe`)), 'vestigor-mcp'),
  });
  await measure('npm command, swapped', { command });
  await measure('npx --offline, swapped', { command: 'npx', args: ['--offline', 'vestigor-mcp'], cwd: project });
  await measure('bare server', { command: bareServer });
});

test('the README\'s host blocks start the npm package and reach the vault', async () => {
  const readme = fs.readFileSync(path.join(process.env.VESTIGOR_SOURCE_DIR, 'README.md'), 'utf8');
  const section = readme.slice(readme.indexOf('## Registering with an MCP host'), readme.indexOf('### Limits a host will meet'));
  const blocks = [...section.matchAll(/```json\n(.*?)```/gs)].map((match) => JSON.parse(match[1]));
  // OpenCode's shape: the command as one array, the variables in "environment".
  const fromOpenCode = ({ command: [command, ...args], environment }) => ({ command, args, env: environment });
  const entries = blocks.map((block) =>
    block.mcp ? fromOpenCode(block.mcp.vestigor) : (block.mcpServers ?? block.servers ?? block.context_servers).vestigor);
  assert.equal(entries.length, 5);
  const project = npmInstall(true);
  for (const entry of entries) {
    const notes = vault();
    const env = Object.fromEntries(Object.entries(entry.env).map(([name, value]) =>
      [name, value === '/home/you/notes' || value === '${input:vault}' ? notes : value]));
    assert.equal(env.VESTIGOR_VAULT, notes, JSON.stringify(entry));
    await exchange({ command: entry.command, args: entry.args, cwd: project, env });
  }
});

test('the bundle validates, unpacks and serves with the configuration its manifest gives a host', async () => {
  const [bundle] = fs.readdirSync(dist).filter((name) => name.endsWith('.mcpb'));
  assert.equal(bundle, `vestigor-mcp-${version}-${process.platform === 'linux' ? 'linux' : process.platform}-${os.machine()}.mcpb`);
  const unpacked = fresh('mcpb');
  execFileSync(mcpbCli, ['unpack', path.join(dist, bundle), unpacked], { stdio: 'ignore' });
  execFileSync(mcpbCli, ['validate', path.join(unpacked, 'manifest.json')], { stdio: 'ignore' });
  const manifest = JSON.parse(fs.readFileSync(path.join(unpacked, 'manifest.json'), 'utf8'));
  assert.deepEqual(
    [manifest.manifest_version, manifest.name, manifest.version, manifest.license, manifest.server.type],
    ['0.3', 'vestigor-mcp', version, 'MIT', 'binary']);
  assert.deepEqual(manifest.tools.map((tool) => tool.name), toolNames);
  assert.deepEqual(manifest.user_config, {
    vault: { type: 'directory', title: manifest.user_config.vault.title, description: manifest.user_config.vault.description, required: true },
  });
  // An empty optional field would become an empty variable: only the vault is passed.
  assert.deepEqual(manifest.server.mcp_config.env, { VESTIGOR_VAULT: '${user_config.vault}' });
  assert.ok(fs.readFileSync(path.join(unpacked, manifest.icon)).subarray(1, 4).equals(Buffer.from('PNG')));
  assert.ok(fs.existsSync(path.join(unpacked, 'LICENSE')));
  assert.notEqual(fs.statSync(path.join(unpacked, manifest.server.entry_point)).mode & 0o111, 0);

  const notes = vault();
  const config = await getMcpConfigForManifest({
    manifest, extensionPath: unpacked, systemDirs: { HOME: scratch }, userConfig: { vault: notes }, pathSeparator: path.sep,
  });
  assert.equal(config.command, path.join(unpacked, manifest.server.entry_point));
  assert.deepEqual(config.env, { VESTIGOR_VAULT: notes });
  await measure('bundle (unpacked)', { command: config.command, args: config.args, env: config.env });
  await checkStdoutAndStatus({ command: config.command, args: config.args });
});

test('server.json holds what the registry checks', () => {
  const server = JSON.parse(fs.readFileSync(path.join(dist, 'server.json'), 'utf8'));
  assert.match(server.$schema, /^https:\/\/static\.modelcontextprotocol\.io\/schemas\/\d{4}-\d\d-\d\d\/server\.schema\.json$/);
  assert.equal(server.name, registryName);
  assert.match(server.name, /^[a-zA-Z0-9.-]+\/[a-zA-Z0-9._-]+$/);
  assert.equal(server.version, version);
  assert.ok(server.description.length <= 100 && server.description.length > 0);
  assert.equal(server.repository.url, `https://github.com/${owner}/vestigor-mcp`);
  const byType = (type) => server.packages.filter((entry) => entry.registryType === type);
  for (const entry of server.packages) assert.deepEqual(entry.transport, { type: 'stdio' });

  const [npm] = byType('npm');
  const main = packageJsonOf(npmTarball('vestigor-mcp'));
  assert.deepEqual([npm.identifier, npm.version, npm.registryBaseUrl], [main.name, main.version, 'https://registry.npmjs.org']);
  assert.equal(main.mcpName, server.name);

  const bundles = byType('mcpb');
  assert.deepEqual(bundles.map((entry) => path.basename(entry.identifier)),
    fs.readdirSync(dist).filter((name) => name.endsWith('.mcpb')));
  for (const entry of bundles) {
    assert.equal(entry.identifier, `https://github.com/${owner}/vestigor-mcp/releases/download/v${version}/${path.basename(entry.identifier)}`);
    assert.equal(entry.version, version);
    assert.equal(entry.fileSha256, sha256(path.join(dist, path.basename(entry.identifier))));
  }
  for (const entry of [npm, ...bundles]) {
    const variables = Object.fromEntries(entry.environmentVariables.map((v) => [v.name, v]));
    assert.deepEqual([variables.VESTIGOR_VAULT.isRequired, variables.VESTIGOR_VAULT.format], [true, 'filepath']);
    assert.equal(variables.TZ.isRequired, false);
  }
  const [oci] = byType('oci');
  assert.equal(oci.identifier, `ghcr.io/${owner.toLowerCase()}/vestigor-mcp:${version}`);
});

after(() => {
  if (Object.keys(startups).length === 0) return;
  const width = Math.max(...Object.keys(startups).map((name) => name.length));
  console.log('start-up to the answer to initialize (median of 5, ms):');
  for (const [name, ms] of Object.entries(startups)) console.log(`  ${name.padEnd(width)}  ${ms.toFixed(1)}`);
});
