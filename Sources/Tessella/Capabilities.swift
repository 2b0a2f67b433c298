import CTessella
import Foundation

/// The rights a capability token grants.
public struct Rights: OptionSet, Hashable, Sendable, CustomStringConvertible {
  /// The rights' bits; bits without a name are kept.
  public let rawValue: UInt32
  /// Wraps raw bits.
  public init(rawValue: UInt32) { self.rawValue = rawValue }

  /// Read the features derived from the payload.
  public static let readFeatures = Rights(rawValue: 0x1)
  /// Read the raw payload.
  public static let readRaw = Rights(rawValue: 0x2)
  /// Transfer the frame's ownership.
  public static let transferOwnership = Rights(rawValue: 0x4)
  /// Grant licences to others.
  public static let licenseGrant = Rights(rawValue: 0x8)
  /// Use the payload in computation.
  public static let computeUse = Rights(rawValue: 0x10)

  /// Why a rights text did not parse.
  public enum ParseError: Error, Hashable, Sendable {
    /// A piece between '|' separators is empty.
    case emptyFlag
    /// A piece is neither a known name nor a 0x-number.
    case invalidNamedFlag
    /// A 0x-piece is not a valid hexadecimal number.
    case invalidHexFlag
  }

  /// Parses the text form: names and 0x-hex pieces separated by "|", white space trimmed.
  public init(parsing text: String) throws {
    var bits: UInt32 = 0
    var failure: Int32 = 0
    let utf8 = Array(text.utf8)
    let rc = utf8.withUnsafeBufferPointer { b in
      b.withMemoryRebound(to: CChar.self) { tessella_rights_parse($0.baseAddress, $0.count, &bits, &failure) }
    }
    guard rc == 0 else {
      switch failure {
      case 1: throw ParseError.emptyFlag
      case 3: throw ParseError.invalidHexFlag
      default: throw ParseError.invalidNamedFlag
      }
    }
    rawValue = bits
  }

  /// The library's display form, such as "READ_FEATURES | READ_RAW | 0x40" ("" for none).
  public var description: String {
    var out = [CChar](repeating: 0, count: 96)
    let n = tessella_rights_format(rawValue, &out, out.count)
    return String(decoding: out.prefix(n).map { UInt8(bitPattern: $0) }, as: UTF8.self)
  }
}

/// A capability token: the right of `holder` to use the frame `scope`, signed by `issuer`.
public struct CapabilityToken: Hashable, Sendable {
  /// The token's 180-byte binary form.
  public let data: Data
  /// The frame the token is for.
  public let scope: ContentID
  /// What the token grants.
  public let rights: Rights
  /// The Unix time (seconds) after which the token is expired.
  public let expiry: UInt64
  /// Who may present the token.
  public let holder: PublicKey
  /// Who signed it.
  public let issuer: PublicKey
  /// The issuer's 64-byte signature.
  public let signature: Data

  /// Decodes a token's binary form without checking its signature (`verify(presenter:)` does).
  /// Bytes after the 180 are ignored. Throws capabilityInvalid for bytes that do not decode.
  public init(decoding bytes: Data) throws {
    var t = tessella_cap_token()
    try withPointers([bytes]) { p in try check { tessella_cap_decode(p[0], bytes.count, &t, $0) } }
    data = Data(bytes.prefix(180))
    scope = try ContentID(tupleData(t.scope_cid))
    rights = Rights(rawValue: t.rights)
    expiry = t.exp_ts
    holder = try PublicKey(tupleData(t.holder_pub))
    issuer = try PublicKey(tupleData(t.issuer_pub))
    signature = tupleData(t.sig)
  }

  /// Issues a token signed with the key of `issuerSeed`, which is also named as its issuer.
  public static func issue(issuerSeed: Seed, scope: ContentID, rights: Rights, expiry: UInt64,
                           holder: PublicKey) throws -> CapabilityToken {
    let issuer = try SigningKey(seed: issuerSeed).publicKey
    var token = [UInt8](repeating: 0, count: 180)
    try withPointers([issuerSeed.data, issuer.data, scope.data, holder.data]) { p in
      try check { tessella_cap_issue(p[0], p[1], p[2], rights.rawValue, expiry, p[3], &token, $0) }
    }
    return try CapabilityToken(decoding: Data(token))
  }

  /// Checks that `presenter` holds the token and that its issuer's signature holds. Checks no
  /// expiry and trusts any issuer: compare `issuer` with the keys you trust.
  /// Throws capabilityInvalid (another holder) or signatureInvalid.
  public func verify(presenter: PublicKey) throws {
    try withPointers([data, presenter.data]) { p in try check { tessella_cap_verify(p[0], data.count, p[1], $0) } }
  }
}
