// reader.mjs: a client of its own for the object store the checks write to,
// the AWS SDK for JavaScript (v3) from the npm folder .ci/s3-tests fills.
// It reads the endpoint, region and credentials from the AWS_* variables.
//
//   reader.mjs compare BUCKET PREFIX LOCAL [--present] [--skip=KEY] [--no-uploads]   every
//        object under PREFIX against the files LOCAL* (the same run on disk):
//        the same suffixes (with --present: a file may lack its object) and
//        the same sha256, each object named in any difference; the object
//        KEY is left out; prints one JSON line {objects, keys, bytes, uploads}
//        (uploads: the keys of the multipart uploads in progress under PREFIX;
//        with --no-uploads, for a store that cannot list them, none)
//   reader.mjs list BUCKET [PREFIX]          {key: size} as JSON
//   reader.mjs cat BUCKET KEY                the object KEY as text on stdout
//   reader.mjs uploads BUCKET                the multipart uploads in progress
//   reader.mjs put BUCKET KEY FILE           writes FILE as the object KEY
//   reader.mjs delete BUCKET KEY             removes the object KEY
//   reader.mjs bucket BUCKET                 makes the bucket
//   reader.mjs rules BUCKET                  multipart uploads and conditional
//        writes a real store refuses, and what the store answered to each
// Exit status 1 with a message on stderr when a comparison fails.
import crypto from 'node:crypto';
import fs from 'node:fs';
import path from 'node:path';
import { load } from '../parquet/npm.mjs';

const s3sdk = await load('@aws-sdk/client-s3');

const client = new s3sdk.S3Client({
  endpoint: process.env.AWS_ENDPOINT_URL,
  region: process.env.AWS_REGION || 'us-east-1',
  forcePathStyle: true,
  // The checksums newer SDKs add by default are left out: the local server
  // knows no aws-chunked bodies.
  requestChecksumCalculation: 'WHEN_REQUIRED',
  responseChecksumValidation: 'WHEN_REQUIRED',
  maxAttempts: 1,
});

async function listObjects(bucket, prefix) {
  const found = new Map();
  let token;
  do {
    const page = await client.send(
      new s3sdk.ListObjectsV2Command({ Bucket: bucket, Prefix: prefix, ContinuationToken: token }),
    );
    for (const item of page.Contents || []) found.set(item.Key, item.Size);
    token = page.IsTruncated ? page.NextContinuationToken : undefined;
  } while (token);
  return found;
}

async function objectSha256(bucket, key) {
  const got = await client.send(new s3sdk.GetObjectCommand({ Bucket: bucket, Key: key }));
  const hash = crypto.createHash('sha256');
  let size = 0;
  for await (const chunk of got.Body) {
    hash.update(chunk);
    size += chunk.length;
  }
  return { sha: hash.digest('hex'), size };
}

function fileSha256(file) {
  return crypto.createHash('sha256').update(fs.readFileSync(file)).digest('hex');
}

async function compare(bucket, prefix, local, flags) {
  const present = flags.includes('--present');
  const dir = path.dirname(local);
  const base = path.basename(local);
  const files = new Map();
  for (const name of fs.readdirSync(dir)) {
    if (name.startsWith(base)) files.set(name.slice(base.length), path.join(dir, name));
  }
  const objects = await listObjects(bucket, prefix);
  const problems = [];
  let bytes = 0;
  for (const [key, size] of objects) {
    if (flags.includes(`--skip=${key}`)) {
      files.delete(key.slice(prefix.length));
      continue;
    }
    const suffix = key.slice(prefix.length);
    if (!files.has(suffix)) {
      problems.push(`object ${key} has no file ${local}${suffix}`);
      continue;
    }
    const got = await objectSha256(bucket, key);
    const want = fileSha256(files.get(suffix));
    if (got.sha !== want || got.size !== size) {
      problems.push(`object ${key} differs from ${files.get(suffix)}`);
    }
    bytes += got.size;
    files.delete(suffix);
  }
  if (!present) for (const [suffix, file] of files) problems.push(`file ${file} has no object ${prefix}${suffix}`);
  if (problems.length) {
    console.error(problems.join('\n'));
    process.exit(1);
  }
  // s3rver itself lists no uploads (the checks' proxy does): --no-uploads.
  const uploads = flags.includes('--no-uploads')
    ? {}
    : await client.send(new s3sdk.ListMultipartUploadsCommand({ Bucket: bucket, Prefix: prefix }));
  const open = (uploads.Uploads || []).map((u) => u.Key);
  const keys = [...objects.keys()];
  console.log(JSON.stringify({ objects: objects.size, keys, bytes, uploads: open }));
}

async function main(command, rest) {
  if (command === 'compare') {
    await compare(rest[0], rest[1], rest[2], rest.slice(3));
  } else if (command === 'list') {
    console.log(JSON.stringify(Object.fromEntries(await listObjects(rest[0], rest[1] || ''))));
  } else if (command === 'rules') {
    await rules(rest[0]);
  } else if (command === 'cat') {
    const got = await client.send(new s3sdk.GetObjectCommand({ Bucket: rest[0], Key: rest[1] }));
    process.stdout.write(await got.Body.transformToString());
  } else if (command === 'uploads') {
    const got = await client.send(new s3sdk.ListMultipartUploadsCommand({ Bucket: rest[0] }));
    console.log(JSON.stringify((got.Uploads || []).map((u) => ({ key: u.Key, id: u.UploadId }))));
  } else if (command === 'put') {
    await client.send(
      new s3sdk.PutObjectCommand({ Bucket: rest[0], Key: rest[1], Body: fs.readFileSync(rest[2]) }),
    );
  } else if (command === 'delete') {
    await client.send(new s3sdk.DeleteObjectCommand({ Bucket: rest[0], Key: rest[1] }));
  } else if (command === 'bucket') {
    await client.send(new s3sdk.CreateBucketCommand({ Bucket: rest[0] }));
  } else {
    console.error('usage: reader.mjs compare|list|cat|uploads|put|delete|bucket|rules ...');
    process.exit(2);
  }
}

// What the store answers to writes a real store refuses: one line of JSON
// {case: error code or "ok"}, for the checks of the proxy itself.
async function rules(bucket) {
  const code = async (promise) => {
    try {
      await promise;
      return 'ok';
    } catch (e) {
      return e.name;
    }
  };
  const send = (Command, input) => client.send(new Command({ Bucket: bucket, ...input }));
  const big = Buffer.alloc(5 * 1024 * 1024, 1);
  const small = Buffer.from('tail');
  const upload = async (key, bodies) => {
    const { UploadId } = await send(s3sdk.CreateMultipartUploadCommand, { Key: key });
    const parts = [];
    for (const [i, body] of bodies.entries()) {
      const input = { Key: key, UploadId, PartNumber: i + 1, Body: body };
      const { ETag } = await send(s3sdk.UploadPartCommand, input);
      parts.push({ PartNumber: i + 1, ETag });
    }
    return { UploadId, parts };
  };
  const complete = (key, UploadId, Parts, more = {}) =>
    send(s3sdk.CompleteMultipartUploadCommand, {
      Key: key, UploadId, MultipartUpload: { Parts }, ...more,
    });
  const got = {};
  const a = await upload('rules/a', [big, small]);
  got.order = await code(complete('rules/a', a.UploadId, [a.parts[1], a.parts[0]]));
  got.etag = await code(complete('rules/a', a.UploadId,
    [{ PartNumber: 1, ETag: '"0123"' }, a.parts[1]]));
  got.complete = await code(complete('rules/a', a.UploadId, a.parts));
  const b = await upload('rules/b', [small, small]);
  got.small = await code(complete('rules/b', b.UploadId, b.parts));
  got.abort = await code(send(s3sdk.AbortMultipartUploadCommand, { Key: 'rules/b',
    UploadId: b.UploadId }));
  got.gone = await code(complete('rules/b', b.UploadId, b.parts));
  const c = await upload('rules/a', [small]);
  got.exists = await code(complete('rules/a', c.UploadId, c.parts, { IfNoneMatch: '*' }));
  await send(s3sdk.AbortMultipartUploadCommand, { Key: 'rules/a', UploadId: c.UploadId });
  got.put = await code(send(s3sdk.PutObjectCommand, { Key: 'rules/a', Body: small,
    IfNoneMatch: '*' }));
  got.new = await code(send(s3sdk.PutObjectCommand, { Key: 'rules/c', Body: small,
    IfNoneMatch: '*' }));
  console.log(JSON.stringify(got));
}

const [command, ...rest] = process.argv.slice(2);
try {
  await main(command, rest);
} catch (e) {
  // The store's refusal in one line, not the SDK's stack.
  console.error(`reader.mjs ${command}: ${e.name}: ${e.message}`);
  process.exit(1);
}
