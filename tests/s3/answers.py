"""What the proxy answers as a real store does: its error documents, the
tags of its XML, and its refusal of a body that its digest headers do not
match."""

import base64
import hashlib
import zlib


def error_body(code, message):
    return ("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Error><Code>%s</Code><Message>%s</Message>"
            "<RequestId>proxy</RequestId></Error>" % (code, message.replace("&", "&amp;")
                                                      .replace("<", "&lt;"))).encode()


def body_digest_refusal(headers, body):
    """A real store's refusal of a body whose Content-MD5 or x-amz-checksum
    header names other bytes (the local server checks neither)."""
    given = headers.get("Content-MD5")
    if given is not None and given != base64.b64encode(hashlib.md5(body).digest()).decode():
        return (400, "BadDigest", "The Content-MD5 you specified did not match what we received.")
    for name, digest in (("x-amz-checksum-sha256", lambda b: hashlib.sha256(b).digest()),
                         ("x-amz-checksum-crc32", lambda b: zlib.crc32(b).to_bytes(4, "big"))):
        given = headers.get(name)
        if given is not None and given != base64.b64encode(digest(body)).decode():
            return (400, "BadDigest", f"The {name} you specified did not match the calculated"
                    " checksum.")
    return None


def strip_ns(tag):
    return tag.rsplit("}", 1)[-1]
