internal import CTessella
import Foundation

/// The one error every tessella operation throws.
///
/// `description` (and `errorDescription`) is the library's own text for the failure, such as
/// "capability required or invalid" or "invalid frame format: too short".
public struct TessellaError: Error, Hashable, Sendable, LocalizedError, CustomStringConvertible {
  /// What went wrong: the library's nine kinds, and a rights text that does not parse.
  public enum Kind: Hashable, Sendable, CaseIterable {
    /// Bytes that are not a well-formed frame, section, value or length.
    case invalidFormat
    /// A signature that does not verify, or a frame not signed by the expected author.
    case signatureInvalid
    /// Authenticated decryption failed: wrong key, altered frame or tag.
    case aeadTagMismatch
    /// A nonce that cannot be used.
    case nonceInvalid
    /// A capability token that is missing, undecodable, expired, held by someone else or issued
    /// by an issuer the opening does not trust.
    case capabilityInvalid
    /// A token that does not cover this frame or lacks a right the frame's policy asks for.
    case policyViolation
    /// A data key that cannot be used.
    case keyUnavailable
    /// The cryptographic backend failed.
    case crypto
    /// An internal failure (out of memory, a cipher limit).
    case `internal`
    /// A rights text that does not parse (`Rights(parsing:)`); `detail` says why.
    case rightsText
    /// A file that cannot be read, mapped or written; `detail` names it and says why.
    case file
  }

  /// What went wrong.
  public let kind: Kind
  /// The detail of kinds ``Kind/invalidFormat``, ``Kind/crypto``, ``Kind/internal`` and
  /// ``Kind/rightsText`` and ``Kind/file`` (for example "too short"); nil for the others.
  public let detail: String?
  /// The library's text for this error.
  public let description: String

  /// The library's text for this error.
  public var errorDescription: String? { description }

  init(_ kind: Kind, _ detail: String? = nil) {
    self.kind = kind
    self.detail = detail
    switch kind {
    case .rightsText: description = "invalid rights text: " + (detail ?? ""); return
    case .file: description = "file error: " + (detail ?? ""); return
    default: break
    }
    let code = Int32(Kind.allCases.firstIndex(of: kind)!)
    func text(_ ptr: UnsafePointer<CChar>?) -> String {
      var err = tessella_error(kind: code, detail: ptr)
      var out = [CChar](repeating: 0, count: tessella_error_message(&err, nil, 0) + 1)
      _ = tessella_error_message(&err, &out, out.count)
      return String(decoding: out.dropLast().map { UInt8(bitPattern: $0) }, as: UTF8.self)
    }
    description = detail.map { $0.withCString(text) } ?? text(nil)
  }

  init(_ err: tessella_error) {
    let kinds = Kind.allCases
    let kind = (0..<9).contains(Int(err.kind)) ? kinds[kinds.index(kinds.startIndex, offsetBy: Int(err.kind))] : .internal
    self.init(kind, err.detail.map { String(cString: $0) })
  }

  /// A wrong length refused before it reaches the library.
  static func length(_ what: String, _ expected: Int, _ got: Int) -> TessellaError {
    TessellaError(.invalidFormat, "\(what) needs \(expected) bytes, got \(got)")
  }
}

/// Runs a fallible C call and throws its error when it fails.
func check(_ call: (UnsafeMutablePointer<tessella_error>) -> Int32) throws(TessellaError) {
  var err = tessella_error(kind: 0, detail: nil)
  if call(&err) != 0 { throw TessellaError(err) }
}
