// Writes the JSON documents of a release from the facts scripts/release
// gathers, so that every name, version and checksum comes from one place:
//
//   node render.mjs npm-platform <out> <os> <cpu> <binary>
//   node render.mjs npm-main <out> <os-cpu,...>
//   node render.mjs mcpb <out> <os> <binary> <tools/list answer file>
//   node render.mjs server <out> <mcpb file>=<sha256>,...
//
// with VESTIGOR_VERSION and VESTIGOR_OWNER in the environment.
import fs from 'node:fs';

const version = process.env.VESTIGOR_VERSION;
const owner = process.env.VESTIGOR_OWNER;
if (!version || !owner) throw new Error('VESTIGOR_VERSION and VESTIGOR_OWNER must be set');
const repository = `https://github.com/${owner}/vestigor-mcp`;
const registryName = `io.github.${owner}/vestigor-mcp`;
const summary = 'An AI agent\'s long-term memory kept as a folder of Markdown notes';
const vaultHelp = 'Absolute path of the notes folder (the vault) the server reads and logs to';

const write = (file, value) => fs.writeFileSync(file, `${JSON.stringify(value, null, 2)}\n`);
const [what, out, ...args] = process.argv.slice(2);

const npmCommon = {
  version,
  description: summary,
  license: 'MIT',
  repository: { type: 'git', url: `git+${repository}.git` },
  homepage: repository,
};

switch (what) {
  case 'npm-platform': {
    const [os, cpu, binary] = args;
    write(out, {
      name: `vestigor-mcp-${os}-${cpu}`,
      ...npmCommon,
      description: `The vestigor-mcp server for ${os}/${cpu}; install vestigor-mcp instead`,
      os: [os],
      cpu: [cpu],
      files: [`bin/${binary}`],
      preferUnplugged: true,
    });
    break;
  }
  case 'npm-main': {
    const platforms = args[0].split(',');
    write(out, {
      name: 'vestigor-mcp',
      ...npmCommon,
      mcpName: registryName,
      keywords: ['mcp', 'mcp-server', 'model-context-protocol', 'markdown', 'memory'],
      bin: { 'vestigor-mcp': 'bin/vestigor-mcp' },
      files: ['bin/vestigor-mcp', 'install.js'],
      scripts: { postinstall: 'node install.js' },
      engines: { node: '>=18' },
      optionalDependencies: Object.fromEntries(platforms.map((p) => [`vestigor-mcp-${p}`, version])),
    });
    break;
  }
  case 'mcpb': {
    const [os, binary, toolsFile] = args;
    const { tools } = JSON.parse(fs.readFileSync(toolsFile, 'utf8'));
    write(out, {
      manifest_version: '0.3',
      name: 'vestigor-mcp',
      display_name: 'Vestigor notes memory',
      version,
      description: summary,
      long_description:
        'Four tools over a folder of Markdown notes: the current-state and open-threads snapshots, ' +
        'a case-insensitive search, and an append-only daily log stamped with local time.',
      author: { name: 'The vestigor-mcp authors' },
      repository: { type: 'git', url: repository },
      homepage: repository,
      license: 'MIT',
      icon: 'icon.png',
      server: {
        type: 'binary',
        entry_point: `server/${binary}`,
        mcp_config: {
          command: `\${__dirname}/server/${binary}`,
          args: [],
          // Only the vault: an optional field left empty would reach the
          // server as an empty variable, so no time zone is passed here and
          // the daily log follows the system's zone.
          env: { VESTIGOR_VAULT: '${user_config.vault}' },
        },
      },
      tools: tools.map(({ name, description }) => ({ name, description })),
      keywords: ['memory', 'notes', 'markdown', 'journal'],
      compatibility: { platforms: [os] },
      user_config: {
        vault: { type: 'directory', title: 'Notes folder', description: vaultHelp, required: true },
      },
    });
    break;
  }
  case 'server': {
    const environmentVariables = [
      { name: 'VESTIGOR_VAULT', description: vaultHelp, isRequired: true, format: 'filepath' },
      {
        name: 'TZ',
        description: 'Time zone of the daily log, e.g. Europe/Berlin (default: the system zone)',
        isRequired: false,
      },
    ];
    const transport = { type: 'stdio' };
    const bundles = args[0] ? args[0].split(',') : [];
    write(out, {
      $schema: 'https://static.modelcontextprotocol.io/schemas/2025-12-11/server.schema.json',
      name: registryName,
      title: 'Vestigor',
      description: summary,
      repository: { url: repository, source: 'github' },
      websiteUrl: repository,
      version,
      packages: [
        {
          registryType: 'npm',
          registryBaseUrl: 'https://registry.npmjs.org',
          identifier: 'vestigor-mcp',
          version,
          transport,
          environmentVariables,
        },
        ...bundles.map((entry) => {
          const [file, sha256] = entry.split('=');
          return {
            registryType: 'mcpb',
            identifier: `${repository}/releases/download/v${version}/${file}`,
            version,
            fileSha256: sha256,
            transport,
            environmentVariables,
          };
        }),
        {
          registryType: 'oci',
          identifier: `ghcr.io/${owner.toLowerCase()}/vestigor-mcp:${version}`,
          transport,
          runtimeArguments: [
            {
              type: 'named',
              name: '-v',
              value: '{vault}:/vault',
              description: 'The notes folder, mounted at /vault',
              isRequired: true,
              variables: { vault: { description: vaultHelp, isRequired: true, format: 'filepath' } },
            },
          ],
          environmentVariables: [
            { name: 'VESTIGOR_VAULT', description: 'The vault inside the container', isRequired: true, default: '/vault' },
            environmentVariables[1],
          ],
        },
      ],
    });
    break;
  }
  default:
    throw new Error(`unknown document: ${what}`);
}
