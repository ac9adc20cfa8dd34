// npm.mjs: the readers .ci/parquet-readers installs outside the tree, at
// pinned versions (in ZERVGEN_NPM_DIR, else ~/.cache/zervgen-npm), loaded
// from there: `const hyparquet = await load('hyparquet')`.
import { createRequire } from 'node:module';
import os from 'node:os';
import path from 'node:path';
import { pathToFileURL } from 'node:url';

const npmDir = process.env.ZERVGEN_NPM_DIR || path.join(os.homedir(), '.cache', 'zervgen-npm');
const requireFrom = createRequire(path.join(npmDir, 'package.json'));

export const load = async (name) => import(pathToFileURL(requireFrom.resolve(name)).href);
