#!/usr/bin/env node
// Starts the native vestigor-mcp server of this platform's package
// (vestigor-mcp-<platform>-<arch>, an optional dependency) with this
// process's arguments, environment and stdio, and ends as it ends: with its
// exit status, or by the signal that stopped it. Signals sent to this
// process go on to the server. Nothing is ever written to stdout, which
// belongs to the server's JSON-RPC stream; problems go to stderr.
//
// Where install scripts run, install.js puts the native server in this
// file's place, so no Node process stays between the host and the server.
'use strict';
const { spawn } = require('node:child_process');
const path = require('node:path');

function fail(message) {
  process.stderr.write(`[vestigor-mcp] ${message}\n`);
  process.exit(1);
}

// The platforms that have a package: this package's optional dependencies.
function packagedPlatforms() {
  try {
    const { optionalDependencies = {} } = require('../package.json');
    return Object.keys(optionalDependencies).map((name) => name.replace(/^vestigor-mcp-/, ''));
  } catch {
    return [];
  }
}

function serverPath() {
  const platform = `${process.platform}-${process.arch}`;
  const packageName = `vestigor-mcp-${platform}`;
  const binary = process.platform === 'win32' ? 'vestigor-mcp.exe' : 'vestigor-mcp';
  try {
    const manifest = require.resolve(`${packageName}/package.json`, { paths: [path.join(__dirname, '..')] });
    return path.join(path.dirname(manifest), 'bin', binary);
  } catch {
    const packaged = packagedPlatforms();
    if (packaged.includes(platform)) {
      return fail(`no server binary for ${platform}: the package ${packageName} is not installed (were optional dependencies omitted?)`);
    }
    return fail(
      `no npm package for ${platform}: npm has the server for ${packaged.join(', ') || 'no platform'}; ` +
        'elsewhere use Homebrew (brew install vestigor-mcp/tap/vestigor-mcp, which builds it from source on macOS) ' +
        'or run the OCI image (linux/amd64, linux/arm64), as the README says',
    );
  }
}

// The signals are taken over before the server starts: the server may
// answer before this process gets any further, and a host that stops it
// then must reach the server, not just end this process by default.
// Handlers run in a later tick, when `child` is set.
const forwarded = ['SIGINT', 'SIGTERM', 'SIGHUP', 'SIGQUIT'].filter((signal) => process.platform !== 'win32' || signal !== 'SIGQUIT');
let child;
for (const signal of forwarded) {
  process.on(signal, () => child.kill(signal));
}
child = spawn(serverPath(), process.argv.slice(2), { stdio: 'inherit', windowsHide: true });
child.on('error', (error) => fail(`cannot start the server: ${error.message}`));
child.on('exit', (code, signal) => {
  if (signal) {
    // Die by the same signal, so the host sees what the server saw.
    for (const forwardedSignal of forwarded) process.removeAllListeners(forwardedSignal);
    process.kill(process.pid, signal);
    setTimeout(() => process.exit(1), 1000);
    return;
  }
  process.exit(code ?? 1);
});
