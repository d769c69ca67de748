'use strict';
// `npm install` builds the addon with CMake into build/Release/zorvan_proclist.node.
// The header packages are resolved through node so that hoisted installs work too.
const { execFileSync } = require('node:child_process');
const path = require('node:path');

const packageDir = path.resolve(__dirname, '..');
const buildDir = path.join(packageDir, 'build', 'cmake');
const outputDir = path.join(packageDir, 'build', 'Release');
const addonApiDir = path.dirname(require.resolve('node-addon-api/package.json'));
const apiHeadersDir = require('node-api-headers').include_dir;

function hasProgram(name) {
  try {
    execFileSync(name, ['--version'], { stdio: 'ignore' });
    return true;
  } catch {
    return false;
  }
}

const configure = [
  '-S', packageDir, '-B', buildDir,
  '-DCMAKE_BUILD_TYPE=Release',
  `-DCMAKE_LIBRARY_OUTPUT_DIRECTORY=${outputDir}`,
  `-DZORVAN_ADDON_API_DIR=${addonApiDir}`,
  `-DZORVAN_API_HEADERS_DIR=${apiHeadersDir}`,
];
if (hasProgram('ninja')) configure.push('-G', 'Ninja');
execFileSync('cmake', configure, { stdio: 'inherit' });
execFileSync('cmake', ['--build', buildDir, '--target', 'zorvan_proclist'], { stdio: 'inherit' });
