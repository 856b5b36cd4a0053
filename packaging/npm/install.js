// postinstall: puts this platform's native server in place of the Node
// launcher (bin/vestigor-mcp), so the command a host starts is the server
// itself. The copy is made beside the launcher and renamed over it, so the
// file is always one whole program. Whenever that cannot be done (no
// platform package, a read-only tree) the launcher stays and still works.
// Never fails the install and writes to stderr only.
//
// Windows is left alone for now: npm writes its command shims before
// postinstall runs and makes a `node <file>` shim for a file starting with
// `#!`. The Windows package will name its bin entry bin/vestigor-mcp.exe
// and ship a stub there without `#!`, so the shim runs that path directly
// and this script can put the real executable in its place.
'use strict';
const fs = require('node:fs');
const path = require('node:path');

function swap() {
  if (process.platform === 'win32') return 'kept the launcher on Windows';
  const packageName = `vestigor-mcp-${process.platform}-${process.arch}`;
  let manifest;
  try {
    manifest = require.resolve(`${packageName}/package.json`, { paths: [__dirname] });
  } catch {
    return `kept the launcher: ${packageName} is not installed`;
  }
  const server = path.join(path.dirname(manifest), 'bin', 'vestigor-mcp');
  const launcher = path.join(__dirname, 'bin', 'vestigor-mcp');
  const staged = `${launcher}.${process.pid}.tmp`;
  try {
    fs.copyFileSync(server, staged);
    fs.chmodSync(staged, 0o755);
    fs.renameSync(staged, launcher);
    return null;
  } catch (error) {
    fs.rmSync(staged, { force: true });
    return `kept the launcher: ${error.message}`;
  }
}

const note = swap();
if (note) process.stderr.write(`[vestigor-mcp] ${note}\n`);
