// server.mjs: the local S3 server of the checks, s3rver from the npm folder
// .ci/s3-tests fills, on 127.0.0.1 and a free port over DIR, with the
// bucket BUCKET made.
//   server.mjs DIR PORT_FILE BUCKET [PORT]
// Writes the port to PORT_FILE once it listens (PORT: that port, else a
// free one); stops on SIGTERM or SIGINT.
import fs from 'node:fs';
import { load } from '../parquet/npm.mjs';

const [directory, portFile, bucket, port] = process.argv.slice(2);
const S3rver = (await load('s3rver')).default;
const server = new S3rver({
  address: '127.0.0.1',
  port: Number(port || 0),
  directory,
  silent: true,
  configureBuckets: [{ name: bucket }],
});
const address = await server.run();
fs.writeFileSync(`${portFile}.tmp`, `${address.port}\n`);
fs.renameSync(`${portFile}.tmp`, portFile);
const stop = async () => {
  // A connection a client left open does not hold the end up.
  setTimeout(() => process.exit(0), 2000).unref();
  await server.close();
  process.exit(0);
};
process.on('SIGTERM', stop);
process.on('SIGINT', stop);
