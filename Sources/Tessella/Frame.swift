internal import CTessella
import Foundation

/// A frame: a sealed, signed, content-addressed envelope, as its wire bytes and their parsed
/// fields. Sealing makes one; ``open(using:capability:presentedBy:trusting:expiry:)`` and
/// ``verify(author:)`` are what a holder and a reader do with it.
public struct Frame: Hashable, Sendable, Identifiable, CustomStringConvertible {
  /// The frame's wire form (without any bytes that followed it in the parsed input).
  public let rawRepresentation: Data
  /// The frame's content identifier: the BLAKE3 hash of ``rawRepresentation``.
  public let id: ContentID
  /// The fixed fields.
  public let header: Header
  let layout: Layout

  /// A frame's fixed fields.
  public struct Header: Hashable, Sendable {
    /// The version byte (written 1, never checked).
    public let version: UInt8
    /// The AEAD its payload is sealed with.
    public let cipher: Cipher
    /// Header bytes 2 and 3: carried and authenticated, never interpreted.
    public let hdr2: UInt8, hdr3: UInt8
    /// The AEAD nonce.
    public let nonce: Nonce
    /// The 16-byte time stamp field, opaque to the library.
    public let timestamp: Data
    /// The signer's public key.
    public let author: PublicKey
    /// The owner's public key.
    public let owner: PublicKey
    /// The identifier of the frame this one follows (``ContentID/zero`` when none).
    public let previous: ContentID
  }

  struct Layout: Hashable, Sendable {
    let pol: Range<Int>, meta: Range<Int>, ciphertext: Range<Int>, tag: Range<Int>, signature: Range<Int>
  }

  /// Parses a frame's wire form; bytes after the frame are ignored. Throws
  /// ``TessellaError/Kind/invalidFormat`` ("too short", "alg", "length").
  public init(rawRepresentation bytes: some DataProtocol) throws(TessellaError) {
    try self.init(wire: bytes as? Data ?? Data(bytes))
  }

  /// Parses without copying when `wire` holds exactly one frame.
  init(wire: Data) throws(TessellaError) {
    var f = tessella_frame_fields()
    var cid = [UInt8](repeating: 0, count: 32)
    try withBytes(wire) { b throws(TessellaError) in
      try check { tessella_frame_parse(b.baseAddress, b.count, &f, $0) }
      try check { tessella_frame_cid(b.baseAddress, b.count, &cid, $0) }
    }
    rawRepresentation = wire.startIndex == 0 && wire.count == f.frame_len ? wire : Data(wire.prefix(f.frame_len))
    id = ContentID(unchecked: cid)
    header = Header(version: f.version, cipher: Cipher(rawValue: f.alg)!, hdr2: f.hdr2, hdr3: f.hdr3,
                    nonce: Nonce(unchecked: tupleBytes(f.nonce)), timestamp: Data(tupleBytes(f.ts)),
                    author: PublicKey(unchecked: tupleBytes(f.author)), owner: PublicKey(unchecked: tupleBytes(f.owner)),
                    previous: ContentID(unchecked: tupleBytes(f.prev_cid)))
    let tag = f.ct_offset + f.ct_len
    layout = Layout(pol: f.pol_offset..<f.pol_offset + f.pol_len, meta: f.meta_offset..<f.meta_offset + f.meta_len,
                    ciphertext: f.ct_offset..<tag, tag: tag..<tag + 16, signature: tag + 16..<tag + 80)
  }

  /// The pol section.
  public var pol: Data { rawRepresentation.subdata(in: layout.pol) }
  /// The meta section (a policy, an event document or the host's own text).
  public var meta: Data { rawRepresentation.subdata(in: layout.meta) }
  /// The ciphertext (as long as the plaintext).
  public var ciphertext: Data { rawRepresentation.subdata(in: layout.ciphertext) }
  /// The AEAD tag.
  public var tag: Data { rawRepresentation.subdata(in: layout.tag) }
  /// The author's Ed25519 signature of everything before it.
  public var signature: Data { rawRepresentation.subdata(in: layout.signature) }
  /// The policy opening reads from the meta section.
  public var policy: Policy { Policy(meta: rawRepresentation[layout.meta]) }

  /// The content identifier and length.
  public var description: String { "Frame(\(id), \(rawRepresentation.count) bytes)" }

  public static func == (a: Frame, b: Frame) -> Bool { a.rawRepresentation == b.rawRepresentation }
  public func hash(into h: inout Hasher) { h.combine(id) }
}

// MARK: Sealing

extension Frame {
  /// What a frame carries besides its payload.
  public struct Envelope: Sendable {
    /// The AEAD.
    public var cipher: Cipher = .chaChaPoly
    /// The meta section; ``Policy/meta`` guards the frame.
    public var meta = Data()
    /// The pol section.
    public var pol = Data()
    /// The owner; nil makes the signer the owner.
    public var owner: PublicKey? = nil
    /// The frame this one follows.
    public var previous: ContentID = .zero
    /// The 16-byte time stamp field; nil is sixteen zero bytes.
    public var timestamp: Data? = nil
    /// Header bytes 2 and 3.
    public var hdr2: UInt8 = 0, hdr3: UInt8 = 0
    /// nil (the safe default) draws a fresh nonce from the operating system's random source. A
    /// nonce given here must never have been used under the same data key: a reused nonce
    /// reveals the XOR of two plaintexts and, with AES-GCM, lets anyone forge frames.
    public var nonce: Nonce? = nil

    /// An envelope with the given parts.
    public init(cipher: Cipher = .chaChaPoly, policy: Policy? = nil, owner: PublicKey? = nil,
                previous: ContentID = .zero) {
      self.cipher = cipher
      self.meta = policy?.meta ?? Data()
      self.owner = owner
      self.previous = previous
    }
  }

  /// Seals `payload` under `key` into a frame signed by `signer`, its author.
  ///
  /// Throws ``TessellaError/Kind/invalidFormat`` "section too long" (pol or meta above 65,535
  /// bytes) or "payload too long" (2^32 bytes or more).
  public static func seal(_ payload: some DataProtocol, using key: DataKey, signedBy signer: SigningKey,
                          policy: Policy? = nil, envelope: Envelope = Envelope()) throws(TessellaError) -> Frame {
    var env = envelope
    if let policy { env.meta = policy.meta }
    let ts = try env.timestamp.map { t throws(TessellaError) in try exactBytes(t, 16, "timestamp") } ?? [UInt8](repeating: 0, count: 16)
    var buf = tessella_buf(data: nil, len: 0)
    var cid = [UInt8](repeating: 0, count: 32)
    let author = signer.publicKey.bytes, owner = (env.owner ?? signer.publicKey).bytes
    try withBytes(payload) { pt throws(TessellaError) in
      try withBytes(env.pol) { pol throws(TessellaError) in
        try withBytes(env.meta) { meta throws(TessellaError) in
          try check { err in
            withOptionalBytes(env.nonce?.bytes) { nonce in
              tessella_seal_bytes(env.cipher.rawValue, env.hdr2, env.hdr3, nonce, ts, author, owner, env.previous.bytes,
                                  pol.baseAddress, pol.count, meta.baseAddress, meta.count, pt.baseAddress, pt.count,
                                  key.storage.base, key.storage.count, signer.handle, &buf, &cid, err)
            }
          }
        }
      }
    }
    return try Frame(wire: adopt(buf))
  }

  /// The unsigned ownership-transfer template (216 bytes) naming `newOwner` as the owner after
  /// `previous`.
  public static func transferTemplate(previous: ContentID, newOwner: PublicKey) throws(TessellaError) -> Frame {
    var buf = tessella_buf(data: nil, len: 0)
    try check { tessella_transfer_bytes(previous.bytes, newOwner.bytes, &buf, $0) }
    return try Frame(wire: adopt(buf))
  }
}

/// Lends an optional array as a C pointer: nil stays NULL.
func withOptionalBytes<R>(_ bytes: [UInt8]?, _ body: (UnsafePointer<UInt8>?) -> R) -> R {
  guard let bytes else { return body(nil) }
  return bytes.withUnsafeBufferPointer { body($0.baseAddress) }
}

/// Takes ownership of a buffer the library returned, as Data, without copying.
func adopt(_ buf: tessella_buf) -> Data {
  guard let ptr = buf.data, buf.len > 0 else {
    var empty = buf
    tessella_buf_free(&empty)
    return Data()
  }
  return Data(bytesNoCopy: ptr, count: buf.len, deallocator: .custom { p, n in
    var owned = tessella_buf(data: p.assumingMemoryBound(to: UInt8.self), len: n)
    tessella_buf_free(&owned)
  })
}

// MARK: Opening and verifying

extension Frame {
  /// The issuers whose capability tokens opening accepts for a guarded frame.
  public struct TrustedIssuers: Hashable, Sendable {
    /// Listed issuers.
    public var keys: [PublicKey]
    /// Whether the frame's own owner is trusted as well.
    public var owner: Bool
    let anyone: Bool

    /// The frame's owner (the default).
    public static let owner = TrustedIssuers(keys: [], owner: true, anyone: false)
    /// Listed keys, and the frame's owner when `includingOwner` is true.
    public static func keys(_ keys: [PublicKey], includingOwner: Bool = false) -> TrustedIssuers {
      TrustedIssuers(keys: keys, owner: includingOwner, anyone: false)
    }
    /// Any issuer whose signature holds: anyone with a key may grant access to themselves. Use
    /// only when the host checks the token's ``CapabilityToken/issuer`` itself.
    public static let anyIssuer = TrustedIssuers(keys: [], owner: false, anyone: true)
  }

  /// Which time a capability token's expiry is compared with.
  public enum ExpiryCheck: Hashable, Sendable {
    /// The current time (the default).
    case now
    /// A given time.
    case at(Date)
    /// No check: an expired token is accepted.
    case skipped
  }

  /// Opens the frame under its own policy and returns the plaintext. Checks no signature: call
  /// ``verify(author:)`` when who sealed the frame matters.
  ///
  /// For a guarded frame the token must be held by `presenter` (whom the host has authenticated),
  /// signed by a trusted issuer (by default the frame's owner), not expired at `expiry` (by
  /// default now), scoped to this frame and grant every right of its policy.
  /// Throws ``TessellaError/Kind/capabilityInvalid`` (no token, undecodable, expired, another
  /// holder, untrusted issuer), ``TessellaError/Kind/signatureInvalid`` (the token's signature),
  /// ``TessellaError/Kind/policyViolation`` (another frame, missing rights) or
  /// ``TessellaError/Kind/aeadTagMismatch`` (wrong key, altered frame).
  public func open(using key: DataKey, capability: CapabilityToken? = nil, presentedBy presenter: PublicKey? = nil,
                   trusting issuers: TrustedIssuers = .owner, expiry: ExpiryCheck = .now) throws(TessellaError) -> Data {
    var buf = tessella_buf(data: nil, len: 0)
    try withOpenArguments(capability, presenter, issuers, expiry) { cap, pres, now, trust throws(TessellaError) in
      try withBytes(rawRepresentation) { f throws(TessellaError) in
        try check { err in
          trust == nil
            ? tessella_open_bytes(f.baseAddress, f.count, key.storage.base, key.storage.count, cap, cap == nil ? 0 : 180,
                                  pres, now, &buf, err)
            : tessella_open_bytes_trusted(f.baseAddress, f.count, key.storage.base, key.storage.count, cap,
                                          cap == nil ? 0 : 180, pres, now, trust, &buf, err)
        }
      }
    }
    return adopt(buf)
  }

  /// Verifies that `author` sealed the frame: the frame names `author` and its signature holds
  /// under that key. Throws ``TessellaError/Kind/signatureInvalid`` otherwise (and
  /// ``TessellaError/Kind/invalidFormat`` "author_pub" for an author field that is no usable key).
  public func verify(author: PublicKey) throws(TessellaError) {
    let signedBy = try verifyIntactOnly()
    guard signedBy == author else { throw TessellaError(.signatureInvalid) }
  }

  /// Verifies only that the frame is intact: its signature holds under the key in its own author
  /// field, whoever that is. Returns that author, for the host to judge.
  @discardableResult
  public func verifyIntactOnly() throws(TessellaError) -> PublicKey {
    var report = tessella_frame_verification()
    try withBytes(rawRepresentation) { f throws(TessellaError) in
      try check { tessella_verify_bytes(f.baseAddress, f.count, &report, $0) }
    }
    guard report.valid == 1 else { throw TessellaError(.signatureInvalid) }
    return header.author
  }
}

/// Lends the optional opening arguments as C pointers (nil trust: any issuer).
func withOpenArguments<R>(_ capability: CapabilityToken?, _ presenter: PublicKey?, _ issuers: Frame.TrustedIssuers,
                          _ expiry: Frame.ExpiryCheck,
                          _ body: (UnsafePointer<UInt8>?, UnsafePointer<UInt8>?, UnsafePointer<UInt64>?,
                                   UnsafePointer<tessella_trust>?) throws(TessellaError) -> R)
  throws(TessellaError) -> R {
  var now: UInt64 = 0
  switch expiry {
  case .now: now = try wireSeconds(Date(), "now")
  case .at(let date): now = try wireSeconds(date, "expiry check time")
  case .skipped: break
  }
  let cap = capability.map { [UInt8]($0.rawRepresentation) }
  let keys = issuers.keys.flatMap(\.bytes)
  return try withOptionalBytes(cap) { capPtr in
    withOptionalBytes(presenter?.bytes) { presPtr in
      keys.withUnsafeBufferPointer { keyPtr in
        var trust = tessella_trust(issuers: keyPtr.baseAddress, issuer_count: issuers.keys.count,
                                   owner: issuers.owner ? 1 : 0)
        return withUnsafePointer(to: &trust) { trustPtr in
          withUnsafePointer(to: now) { nowPtr in
            Result { () throws(TessellaError) in
              try body(capPtr, presPtr, expiry == .skipped ? nil : nowPtr, issuers.anyone ? nil : trustPtr)
            }
          }
        }
      }
    }
  }.get()
}
