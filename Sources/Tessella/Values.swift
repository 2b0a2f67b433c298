internal import CTessella
import Foundation

/// An Ed25519 public key: a frame's author or owner, a token's holder or issuer.
public struct PublicKey: FixedSizeValue {
  public static let byteCount = 32
  let bytes: [UInt8]
  init(unchecked bytes: [UInt8]) { self.bytes = bytes }
  public init(rawRepresentation data: some ContiguousBytes) throws(TessellaError) {
    bytes = try exactBytes(data, 32, "PublicKey")
  }
  public var rawRepresentation: Data { Data(bytes) }

  /// Whether `signature` is this key's Ed25519 signature of `message` (strict RFC 8032 checks).
  public func isValidSignature(_ signature: some DataProtocol, for message: some DataProtocol) -> Bool {
    let sig = Array(signature)
    guard sig.count == 64 else { return false }
    let ok: Void? = try? withBytes(message) { m throws(TessellaError) in
      try check { tessella_verify(bytes, m.baseAddress, m.count, sig, $0) }
    }
    return ok != nil
  }
}

/// A content identifier: the BLAKE3 hash of a frame's wire form.
public struct ContentID: FixedSizeValue {
  public static let byteCount = 32
  let bytes: [UInt8]
  init(unchecked bytes: [UInt8]) { self.bytes = bytes }
  public init(rawRepresentation data: some ContiguousBytes) throws(TessellaError) {
    bytes = try exactBytes(data, 32, "ContentID")
  }
  public var rawRepresentation: Data { Data(bytes) }

  /// The BLAKE3 hash of `data`.
  public init(hashing data: some DataProtocol) {
    var out = [UInt8](repeating: 0, count: 32)
    _ = try? withBytes(data) { d throws(TessellaError) in tessella_cid_blake3(d.baseAddress, d.count, &out) }
    bytes = out
  }

  /// Thirty-two zero bytes: the predecessor of a frame that has none.
  public static let zero = ContentID(unchecked: [UInt8](repeating: 0, count: 32))
}

/// A frame's 12-byte nonce. Sealing draws a fresh one by default; one passed in must never have
/// been used under the same data key.
public struct Nonce: FixedSizeValue {
  public static let byteCount = 12
  let bytes: [UInt8]
  init(unchecked bytes: [UInt8]) { self.bytes = bytes }
  public init(rawRepresentation data: some ContiguousBytes) throws(TessellaError) {
    bytes = try exactBytes(data, 12, "Nonce")
  }
  public var rawRepresentation: Data { Data(bytes) }
}

/// A blind-index token: equal search terms under one key give equal tokens.
public struct SearchToken: FixedSizeValue {
  public static let byteCount = 32
  let bytes: [UInt8]
  public init(rawRepresentation data: some ContiguousBytes) throws(TessellaError) {
    bytes = try exactBytes(data, 32, "SearchToken")
  }
  public var rawRepresentation: Data { Data(bytes) }

  /// The token HMAC-SHA-256(key, term) for a search term under a data key.
  public init(term: some DataProtocol, key: DataKey) throws(TessellaError) {
    var out = [UInt8](repeating: 0, count: 32)
    try withBytes(term) { t throws(TessellaError) in
      try check { tessella_blind_index(key.storage.base, key.storage.count, t.baseAddress, t.count, &out, $0) }
    }
    bytes = out
  }
}

/// The AEAD a frame's payload is sealed with.
public enum Cipher: UInt8, Hashable, Sendable, Codable, CaseIterable {
  /// AES-256-GCM.
  case aesGCM = 1
  /// ChaCha20-Poly1305.
  case chaChaPoly = 2
}

/// The rights a capability token grants and a frame's policy asks for. `Codable` as its text
/// form, such as "READ_FEATURES | READ_RAW".
public struct Rights: OptionSet, Hashable, Sendable, Codable, CustomStringConvertible {
  /// The bits; bits without a name are kept.
  public let rawValue: UInt32
  /// Wraps raw bits.
  public init(rawValue: UInt32) { self.rawValue = rawValue }

  /// Read the features derived from the payload.
  public static let readFeatures = Rights(rawValue: TESSELLA_RIGHT_READ_FEATURES)
  /// Read the raw payload.
  public static let readRaw = Rights(rawValue: TESSELLA_RIGHT_READ_RAW)
  /// Transfer the frame's ownership.
  public static let transferOwnership = Rights(rawValue: TESSELLA_RIGHT_TRANSFER_OWNERSHIP)
  /// Grant licences to others.
  public static let licenseGrant = Rights(rawValue: TESSELLA_RIGHT_LICENSE_GRANT)
  /// Use the payload in computation.
  public static let computeUse = Rights(rawValue: TESSELLA_RIGHT_COMPUTE_USE)

  /// Parses the text form: names and 0x-hexadecimal pieces separated by "|", white space
  /// trimmed ("READ_RAW | 0x40", "0x3"). Throws ``TessellaError/Kind/rightsText`` with the detail
  /// "empty flag", "invalid named flag" or "invalid hex flag".
  public init(parsing text: some StringProtocol) throws(TessellaError) {
    var bits: UInt32 = 0, failure: Int32 = 0
    let utf8 = Array(text.utf8)
    let rc = utf8.withUnsafeBytes { tessella_rights_parse($0.baseAddress?.assumingMemoryBound(to: CChar.self), $0.count, &bits, &failure) }
    guard rc == 0 else {
      throw TessellaError(.rightsText, [1: "empty flag", 3: "invalid hex flag"][failure] ?? "invalid named flag")
    }
    rawValue = bits
  }

  /// The library's display form, such as "READ_FEATURES | READ_RAW | 0x40" ("" for none).
  public var description: String {
    var out = [CChar](repeating: 0, count: 96)
    let n = tessella_rights_format(rawValue, &out, out.count)
    return String(decoding: out.prefix(n).map { UInt8(bitPattern: $0) }, as: UTF8.self)
  }

  public init(from decoder: any Decoder) throws {
    try self.init(parsing: decoder.singleValueContainer().decode(String.self))
  }
  public func encode(to encoder: any Encoder) throws {
    var c = encoder.singleValueContainer()
    try c.encode(description)
  }
}

/// A frame's access policy, read from and written to its meta section.
public struct Policy: Hashable, Sendable, Codable {
  /// Whether opening demands a capability token.
  public var requireCapability: Bool
  /// The rights that token must grant.
  public var allowedOps: Rights

  /// A policy.
  public init(requireCapability: Bool, allowedOps: Rights = []) {
    self.requireCapability = requireCapability
    self.allowedOps = allowedOps
  }

  /// No capability needed: the data key alone opens the frame.
  public static let unguarded = Policy(requireCapability: false)

  /// Reads a meta section as opening does: text that is not one JSON object is unguarded.
  public init(meta: some DataProtocol) {
    var p = tessella_policy(require_cap: 0, allowed_ops: 0)
    _ = try? withBytes(meta) { m throws(TessellaError) in try check { tessella_read_policy(m.baseAddress, m.count, &p, $0) } }
    self.init(requireCapability: p.require_cap != 0, allowedOps: Rights(rawValue: p.allowed_ops))
  }

  /// The meta section that carries this policy: `{"require_cap":true,"allowed_ops":N}`.
  public var meta: Data {
    Data("{\"require_cap\":\(requireCapability),\"allowed_ops\":\(allowedOps.rawValue)}".utf8)
  }
}

/// A capability token: the right of ``holder`` to use the frame ``scope`` with ``rights`` until
/// ``expiry``, signed by ``issuer``. `Codable` as the base64 of its 180-byte form.
public struct CapabilityToken: Hashable, Sendable, Codable, CustomStringConvertible {
  /// The token's 180-byte binary form.
  public let rawRepresentation: Data
  /// The frame the token is for.
  public let scope: ContentID
  /// What the token grants.
  public let rights: Rights
  /// The last second at which the token is valid (whole seconds since 1970 on the wire).
  public let expiry: Date
  /// Who may present the token.
  public let holder: PublicKey
  /// Who signed it.
  public let issuer: PublicKey
  /// The issuer's 64-byte signature.
  public let signature: Data

  /// Decodes a token's binary form without checking its signature (``isValid(presentedBy:)`` does).
  /// Bytes after the 180 are ignored. Throws ``TessellaError/Kind/capabilityInvalid`` for bytes
  /// that do not decode.
  public init(rawRepresentation bytes: some DataProtocol) throws(TessellaError) {
    var t = tessella_cap_token()
    try withBytes(bytes) { b throws(TessellaError) in try check { tessella_cap_decode(b.baseAddress, b.count, &t, $0) } }
    rawRepresentation = Data(bytes.prefix(180))
    scope = ContentID(unchecked: tupleBytes(t.scope_cid))
    rights = Rights(rawValue: t.rights)
    expiry = Date(timeIntervalSince1970: TimeInterval(t.exp_ts))
    holder = PublicKey(unchecked: tupleBytes(t.holder_pub))
    issuer = PublicKey(unchecked: tupleBytes(t.issuer_pub))
    signature = Data(tupleBytes(t.sig))
  }

  /// Decodes the base64 of a token's binary form.
  public init(base64: some StringProtocol) throws(TessellaError) {
    guard let data = Data(base64Encoded: String(base64)) else {
      throw TessellaError(.capabilityInvalid)
    }
    try self.init(rawRepresentation: data)
  }

  /// Decodes the hexadecimal text of a token's binary form.
  public init(hex: some StringProtocol) throws(TessellaError) {
    try self.init(rawRepresentation: hexBytes(hex, 180, "CapabilityToken"))
  }

  /// Issues a token signed by `issuer`, whose public key the token names as its issuer.
  public init(issuer: SigningKey, scope: ContentID, rights: Rights, expiry: Date, holder: PublicKey) throws(TessellaError) {
    var out = [UInt8](repeating: 0, count: 180)
    let exp = try wireSeconds(expiry, "expiry")
    try check {
      tessella_cap_issue(issuer.seed.storage.base, issuer.publicKey.bytes, scope.bytes, rights.rawValue, exp,
                         holder.bytes, &out, $0)
    }
    try self.init(rawRepresentation: out)
  }

  /// Whether `presenter` holds the token and its issuer's signature holds. Checks no expiry and
  /// no issuer: opening a frame does both.
  public func isValid(presentedBy presenter: PublicKey) -> Bool {
    (try? check { tessella_cap_verify([UInt8](rawRepresentation), 180, presenter.bytes, $0) }) != nil
  }

  /// The base64 of the binary form.
  public var description: String { rawRepresentation.base64EncodedString() }

  public init(from decoder: any Decoder) throws {
    try self.init(base64: decoder.singleValueContainer().decode(String.self))
  }
  public func encode(to encoder: any Encoder) throws {
    var c = encoder.singleValueContainer()
    try c.encode(description)
  }
}
