import CTessella
import Foundation

/// The AEAD a frame's payload is sealed with.
public enum Cipher: UInt8, Sendable {
  /// AES-256-GCM.
  case aes256gcm = 1
  /// ChaCha20-Poly1305.
  case chacha20poly1305 = 2
}

/// Seals `plaintext` into a signed frame under a 32-byte data key and names it.
///
/// - Parameters:
///   - plaintext: the payload.
///   - key: the 32-byte data key (any other length throws keyUnavailable).
///   - signer: signs the frame; its public key is the author unless `author` is given.
///   - cipher: the AEAD.
///   - nonce: never reuse one with the same key; the default draws a fresh one.
///   - timestamp: the frame's time stamp field.
///   - author: the author field (a frame whose author is not the signer's key does not verify).
///   - owner: the owner field; defaults to the author.
///   - prev: the predecessor's identifier.
///   - pol: the pol section.
///   - meta: the meta section: `Policy.meta` guards the frame.
///   - hdr2: header byte 2.
///   - hdr3: header byte 3.
/// - Returns: the frame's wire form and its content identifier.
public func seal(_ plaintext: Data, key: Data, signer: SigningKey, cipher: Cipher = .chacha20poly1305,
                 nonce: Nonce = .random(), timestamp: Timestamp = .zero, author: PublicKey? = nil,
                 owner: PublicKey? = nil, prev: ContentID = .zero, pol: Data = Data(),
                 meta: Data = Data(), hdr2: UInt8 = 0, hdr3: UInt8 = 0) throws -> (frame: Data, cid: ContentID) {
  let author = author ?? signer.publicKey
  let owner = owner ?? author
  var buf = tessella_buf(data: nil, len: 0)
  var cid = [UInt8](repeating: 0, count: 32)
  try withPointers([nonce.data, timestamp.data, author.data, owner.data, prev.data, pol, meta, plaintext, key]) { p in
    try check {
      tessella_seal_bytes(cipher.rawValue, hdr2, hdr3, p[0], p[1], p[2], p[3], p[4], p[5], pol.count,
                          p[6], meta.count, p[7], plaintext.count, p[8], key.count, signer.handle,
                          &buf, &cid, $0)
    }
  }
  return (adopt(buf), try ContentID(Data(cid)))
}

/// Opens a frame under its policy and returns the plaintext. Checks no frame signature: call
/// `verify(frame:)` to know who sealed it.
///
/// - Parameters:
///   - frame: the frame's wire form (trailing bytes are ignored).
///   - key: the 32-byte data key.
///   - capability: the token a guarded frame asks for; nil for none.
///   - presenter: the public key of the party presenting the token, authenticated by the caller.
///   - now: the current Unix time in seconds; when given, an expired token is refused.
/// - Throws: `TessellaError`: capabilityInvalid, signatureInvalid, policyViolation,
///   keyUnavailable, aeadTagMismatch or invalidFormat, in the library's order of checks.
public func open(frame: Data, key: Data, capability: CapabilityToken? = nil, presenter: PublicKey? = nil,
                 now: UInt64? = nil) throws -> Data {
  var buf = tessella_buf(data: nil, len: 0)
  try withPointers([frame, key, capability?.data, presenter?.data]) { p in
    try check { err in
      if var now {
        return tessella_open_bytes(p[0], frame.count, p[1], key.count, p[2], capability?.data.count ?? 0,
                                   p[3], &now, &buf, err)
      }
      return tessella_open_bytes(p[0], frame.count, p[1], key.count, p[2], capability?.data.count ?? 0,
                                 p[3], nil, &buf, err)
    }
  }
  return adopt(buf)
}

/// What `verify(frame:)` found.
public struct VerifyReport: Hashable, Sendable {
  /// The frame's content identifier.
  public let cid: ContentID
  /// Whether the signature holds under the frame's author field.
  public let valid: Bool
}

/// Checks a frame's signature against its own author field. A signature that does not hold is a
/// report (`valid == false`), not an error; bytes that are not a frame throw invalidFormat.
public func verify(frame: Data) throws -> VerifyReport {
  var out = tessella_frame_verification()
  try withPointers([frame]) { p in try check { tessella_verify_bytes(p[0], frame.count, &out, $0) } }
  return VerifyReport(cid: try ContentID(tupleData(out.cid)), valid: out.valid == 1)
}

/// The frame's content identifier: the BLAKE3 hash of its own bytes (trailing input excluded).
public func frameID(_ frame: Data) throws -> ContentID {
  var cid = [UInt8](repeating: 0, count: 32)
  try withPointers([frame]) { p in try check { tessella_frame_cid(p[0], frame.count, &cid, $0) } }
  return try ContentID(Data(cid))
}

/// The unsigned 216-byte ownership-transfer template passing the frame `prev` to `newOwner`.
public func transferTemplate(prev: ContentID, newOwner: PublicKey) throws -> Data {
  var buf = tessella_buf(data: nil, len: 0)
  try withPointers([prev.data, newOwner.data]) { p in try check { tessella_transfer_bytes(p[0], p[1], &buf, $0) } }
  return adopt(buf)
}

/// A frame's fields, read without decrypting; the sections are slices of the parsed input.
public struct FrameFields: Sendable {
  /// Format version byte.
  public let version: UInt8
  /// The AEAD byte (1 or 2).
  public let alg: UInt8
  /// Header byte 2.
  public let hdr2: UInt8
  /// Header byte 3.
  public let hdr3: UInt8
  /// The AEAD nonce.
  public let nonce: Nonce
  /// The time stamp field.
  public let timestamp: Timestamp
  /// The author field.
  public let author: PublicKey
  /// The owner field.
  public let owner: PublicKey
  /// The predecessor's identifier.
  public let prev: ContentID
  /// The pol section.
  public let pol: Data
  /// The meta section.
  public let meta: Data
  /// The ciphertext (as long as the plaintext).
  public let ciphertext: Data
  /// The 16-byte AEAD tag.
  public let tag: Data
  /// The 64-byte signature.
  public let signature: Data
  /// The frame's own length; input past it is trailing.
  public let frameLength: Int

  /// Parses a frame's wire form. Throws invalidFormat ("too short", "alg", "length").
  public init(parsing frame: Data) throws {
    var f = tessella_frame_fields()
    try withPointers([frame]) { p in try check { tessella_frame_parse(p[0], frame.count, &f, $0) } }
    func section(_ offset: Int, _ length: Int) -> Data {
      frame[(frame.startIndex + offset) ..< (frame.startIndex + offset + length)]
    }
    version = f.version; alg = f.alg; hdr2 = f.hdr2; hdr3 = f.hdr3
    nonce = try Nonce(tupleData(f.nonce))
    timestamp = try Timestamp(tupleData(f.ts))
    author = try PublicKey(tupleData(f.author))
    owner = try PublicKey(tupleData(f.owner))
    prev = try ContentID(tupleData(f.prev_cid))
    pol = section(f.pol_offset, f.pol_len)
    meta = section(f.meta_offset, f.meta_len)
    ciphertext = section(f.ct_offset, f.ct_len)
    tag = tupleData(f.tag)
    signature = tupleData(f.sig)
    frameLength = f.frame_len
  }
}

/// A frame's access policy, as the opening path reads it from the meta section.
public struct Policy: Hashable, Sendable {
  /// Whether opening asks for a capability token.
  public let requireCapability: Bool
  /// The rights that token must grant.
  public let allowedOps: Rights

  /// A policy to seal with (`meta`).
  public init(requireCapability: Bool, allowedOps: Rights) {
    self.requireCapability = requireCapability
    self.allowedOps = allowedOps
  }

  /// Reads `meta` as the opening path does: anything but one JSON object reads as unguarded.
  public init(meta: Data) throws {
    var out = tessella_policy()
    try withPointers([meta]) { p in try check { tessella_read_policy(p[0], meta.count, &out, $0) } }
    self.init(requireCapability: out.require_cap == 1, allowedOps: Rights(rawValue: out.allowed_ops))
  }

  /// The meta section that carries this policy: a JSON object with "require_cap" and "allowed_ops".
  public var meta: Data {
    Data(#"{"require_cap":\#(requireCapability),"allowed_ops":\#(allowedOps.rawValue)}"#.utf8)
  }
}
