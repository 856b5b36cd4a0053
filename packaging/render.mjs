// Writes the JSON documents of a release from the facts scripts/release
// gathers, so that every name, version and checksum comes from one place:
//
//   node render.mjs npm-platform <out> <os> <cpu> <binary>
//   node render.mjs npm-main <out> <os-cpu,...>
//   node render.mjs mcpb <out> <os> <binary> <tools/list answer file>
//   node render.mjs server <out> <mcpb file>=<sha256>,...
//   node render.mjs oci-index <layout> <version>
//
// with VESTIGOR_VERSION and VESTIGOR_OWNER in the environment.
import crypto from 'node:crypto';
import fs from 'node:fs';
import path from 'node:path';

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
        'Tools over a folder of Markdown notes: the current-state and open-threads snapshots, ' +
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
  case 'oci-index': {
    // The layout holds one image per platform, tagged <version>-<arch>:
    // adds an image index naming each by platform and tags it <version>.
    const [tag] = args;
    const layout = out;
    const refName = 'org.opencontainers.image.ref.name';
    const blob = (digest) => path.join(layout, 'blobs', ...digest.split(':'));
    const top = JSON.parse(fs.readFileSync(path.join(layout, 'index.json'), 'utf8'));
    const manifests = top.manifests
      .filter((m) => m.annotations?.[refName]?.startsWith(`${tag}-`))
      .map((m) => {
        const manifest = JSON.parse(fs.readFileSync(blob(m.digest), 'utf8'));
        const config = JSON.parse(fs.readFileSync(blob(manifest.config.digest), 'utf8'));
        return { mediaType: m.mediaType, digest: m.digest, size: m.size, platform: { architecture: config.architecture, os: config.os } };
      });
    if (manifests.length === 0) throw new Error(`no image tagged ${tag}-<arch> in ${layout}`);
    const index = Buffer.from(JSON.stringify({ schemaVersion: 2, mediaType: 'application/vnd.oci.image.index.v1+json', manifests }));
    const digest = `sha256:${crypto.createHash('sha256').update(index).digest('hex')}`;
    fs.writeFileSync(blob(digest), index);
    top.manifests.push({ mediaType: 'application/vnd.oci.image.index.v1+json', digest, size: index.length, annotations: { [refName]: tag } });
    fs.writeFileSync(path.join(layout, 'index.json'), JSON.stringify(top));
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
          runtimeHint: 'npx',
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
          runtimeHint: 'docker',
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
          // The image sets VESTIGOR_VAULT=/vault itself: only the zone.
          environmentVariables: [environmentVariables[1]],
        },
      ],
    });
    break;
  }
  default:
    throw new Error(`unknown document: ${what}`);
}
