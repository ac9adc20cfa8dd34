"""The checks a real S3 store makes of a request's Signature Version 4
header, made again from the request as it arrived: the canonical request,
the string to sign, the signing key from the known secret, the credential
scope, the clock, the body's hash and the headers left unsigned.

check() answers None for a sound request or (status, code, message) for
the refusal a real store gives.
"""

import datetime
import hashlib
import hmac
import re
from urllib.parse import quote, unquote

ALGORITHM = "AWS4-HMAC-SHA256"
UNSIGNED = "UNSIGNED-PAYLOAD"
MAX_SKEW_SECONDS = 15 * 60


def _encode(text, safe):
    # The unreserved characters alone stay as they are; everything else is
    # %XX with upper-case digits, spaces too (never '+').
    return quote(text, safe=safe)


def canonical_uri(raw_path):
    # S3 encodes the decoded path once, keeping '/'.
    return _encode(unquote(raw_path), "/~") or "/"


def canonical_query(raw_query):
    pairs = []
    for piece in raw_query.split("&"):
        if not piece:
            continue
        name, _, value = piece.partition("=")
        pairs.append((_encode(unquote(name), "~"), _encode(unquote(value), "~")))
    pairs.sort()
    return "&".join(f"{n}={v}" for n, v in pairs)


def _trim(value):
    return re.sub(r"\s+", " ", value.strip())


def parse_authorization(value):
    """The parts of an Authorization header, or None when it is no SigV4
    header of the form every client sends."""
    if not value.startswith(ALGORITHM + " "):
        return None
    fields = {}
    for item in value[len(ALGORITHM) + 1 :].split(","):
        name, sep, content = item.strip().partition("=")
        if not sep:
            return None
        fields[name] = content
    if set(fields) != {"Credential", "SignedHeaders", "Signature"}:
        return None
    credential = fields["Credential"].split("/")
    if len(credential) != 5:
        return None
    return {
        "key_id": credential[0],
        "scope": credential[1:],
        "signed": fields["SignedHeaders"].split(";"),
        "signature": fields["Signature"],
    }


def signing_key(secret, date, region, service):
    key = ("AWS4" + secret).encode()
    for part in (date, region, service, "aws4_request"):
        key = hmac.new(key, part.encode(), hashlib.sha256).digest()
    return key


def string_to_sign(method, raw_path, raw_query, headers, signed, payload_hash, amz_date, scope):
    lines = [f"{name}:{_trim(','.join(headers.get_all(name) or []))}" for name in signed]
    canonical = "\n".join(
        [method, canonical_uri(raw_path), canonical_query(raw_query), "\n".join(lines) + "\n",
         ";".join(signed), payload_hash]
    )
    digest = hashlib.sha256(canonical.encode()).hexdigest()
    return "\n".join([ALGORITHM, amz_date, "/".join(scope), digest])


def check(method, raw_path, raw_query, headers, body_sha256, key_id, secret, region, token=None,
          now=None):
    """None when the request is signed as a real store requires, else the
    refusal (status, code, message). `body_sha256` is the hex digest of the
    body as received."""
    value = headers.get("Authorization")
    if value is None:
        return (403, "AccessDenied", "Access Denied")
    auth = parse_authorization(value)
    if auth is None:
        return (400, "AuthorizationHeaderMalformed", "The authorization header is malformed")
    if auth["key_id"] != key_id:
        return (403, "InvalidAccessKeyId",
                "The AWS Access Key Id you provided does not exist in our records.")
    date, scope_region, service, terminator = auth["scope"]
    if service != "s3" or terminator != "aws4_request" or scope_region != region:
        return (400, "AuthorizationHeaderMalformed",
                f"The authorization header is malformed; the region '{scope_region}' is wrong;"
                f" expecting '{region}'")
    amz_date = headers.get("x-amz-date")
    if amz_date is None:
        return (403, "AccessDenied", "AWS authentication requires a valid Date or x-amz-date header")
    try:
        when = datetime.datetime.strptime(amz_date, "%Y%m%dT%H%M%SZ").replace(
            tzinfo=datetime.timezone.utc)
    except ValueError:
        return (403, "AccessDenied", "AWS authentication requires a valid Date or x-amz-date header")
    now = now or datetime.datetime.now(datetime.timezone.utc)
    if abs((now - when).total_seconds()) > MAX_SKEW_SECONDS:
        return (403, "RequestTimeTooSkewed",
                "The difference between the request time and the current time is too large.")
    if amz_date[:8] != date:
        return (403, "SignatureDoesNotMatch", "The credential date is not the request's date")
    payload = headers.get("x-amz-content-sha256")
    if payload is None:
        return (400, "InvalidRequest",
                "Missing required header for this request: x-amz-content-sha256")
    if payload != UNSIGNED:
        if not re.fullmatch(r"[0-9a-f]{64}", payload):
            return (400, "InvalidArgument", "x-amz-content-sha256 must be UNSIGNED-PAYLOAD or a"
                    " valid sha256 value (streaming signatures are not taken here)")
        if payload != body_sha256:
            return (400, "XAmzContentSHA256Mismatch",
                    "The provided 'x-amz-content-sha256' header does not match what was computed.")
    signed = auth["signed"]
    if signed != sorted(signed) or "host" not in signed:
        return (403, "SignatureDoesNotMatch", "The signed headers are not sorted or lack host")
    unsigned = sorted({name.lower() for name in headers.keys()
                       if name.lower().startswith("x-amz-")} - set(signed))
    if unsigned:
        return (403, "AccessDenied",
                "There were headers present in the request which were not signed: "
                + ", ".join(unsigned))
    if token is not None and headers.get("x-amz-security-token") != token:
        return (403, "InvalidToken", "The provided token is malformed or otherwise invalid.")
    text = string_to_sign(method, raw_path, raw_query, headers, signed, payload, amz_date,
                          auth["scope"])
    expected = hmac.new(signing_key(secret, date, region, "s3"), text.encode(),
                        hashlib.sha256).hexdigest()
    if not hmac.compare_digest(expected, auth["signature"]):
        return (403, "SignatureDoesNotMatch",
                "The request signature we calculated does not match the signature you provided."
                " Check your key and signing method.")
    return None
