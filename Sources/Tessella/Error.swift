import CTessella
import Foundation

/// A failure reported by tessella, or a wrong-length value refused before it reaches the library.
///
/// `description` is the library's own text for the error (`tessella_error_message`), for example
/// "capability required or invalid" or "invalid frame format: too short".
public struct TessellaError: Error, CustomStringConvertible, Equatable, Sendable {
  /// The nine kinds of failure, with the library's numbering.
  public enum Kind: Int32, Sendable, CaseIterable {
    /// Bytes that are not a well-formed frame, section, value or length.
    case invalidFormat = 0
    /// A signature that does not verify, or a public key that is not a curve point.
    case signatureInvalid = 1
    /// Authenticated decryption failed: wrong key, altered frame or tag.
    case aeadTagMismatch = 2
    /// A nonce that cannot be used.
    case nonceInvalid = 3
    /// A capability token that is missing, undecodable, expired or held by someone else.
    case capabilityInvalid = 4
    /// A token that does not cover this frame or lacks a right the frame's policy asks for.
    case policyViolation = 5
    /// A data key of the wrong length.
    case keyUnavailable = 6
    /// The cryptographic backend failed.
    case crypto = 7
    /// An internal failure (out of memory, a null argument, a cipher limit).
    case `internal` = 8
  }

  /// What went wrong.
  public let kind: Kind
  /// The detail text for kinds invalidFormat, crypto and internal (for example "too short");
  /// nil for the other kinds.
  public let detail: String?
  /// The library's text for this error.
  public let description: String

  /// Builds the error of a kind and detail, with the library's text for it.
  init(kind: Kind, detail: String?) {
    self.kind = kind
    self.detail = detail
    let text: (UnsafePointer<CChar>?) -> String = { ptr in
      var err = tessella_error(kind: kind.rawValue, detail: ptr)
      let needed = tessella_error_message(&err, nil, 0)
      var out = [CChar](repeating: 0, count: needed + 1)
      _ = tessella_error_message(&err, &out, out.count)
      return String(decoding: out.prefix(needed).map { UInt8(bitPattern: $0) }, as: UTF8.self)
    }
    if let detail { description = detail.withCString { text($0) } } else { description = text(nil) }
  }

  /// Converts the C ABI's error record.
  init(_ err: tessella_error) {
    self.init(kind: Kind(rawValue: err.kind) ?? .internal, detail: err.detail.map { String(cString: $0) })
  }
}

/// Runs a fallible C call and throws its error when it returns non-zero.
func check(_ call: (UnsafeMutablePointer<tessella_error>) -> Int32) throws {
  var err = tessella_error(kind: 0, detail: nil)
  if call(&err) != 0 { throw TessellaError(err) }
}

/// Refuses a value whose length is not `count` bytes, naming the type.
func exactLength(_ data: Data, _ count: Int, _ what: String) throws -> Data {
  guard data.count == count else {
    throw TessellaError(kind: .invalidFormat, detail: "\(what) needs \(count) bytes, got \(data.count)")
  }
  return Data(data)  // a fresh copy indexed from 0, never a slice of the caller's buffer
}

/// Takes ownership of a returned tessella_buf as Data without copying; the library frees it.
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

/// One readable byte standing for a present, empty byte string: the C ABI reads NULL as absent.
nonisolated(unsafe) private let presentEmpty = UnsafeMutablePointer<UInt8>.allocate(capacity: 1)

/// Lends the bytes of each value to `body` as C pointers, in order: nil stays NULL (absent), an
/// empty value becomes a non-NULL pointer with nothing to read.
func withPointers<R>(_ values: [Data?], _ body: ([UnsafePointer<UInt8>?]) throws -> R) rethrows -> R {
  var pointers: [UnsafePointer<UInt8>?] = []
  func lend(_ i: Int) throws -> R {
    if i == values.count { return try body(pointers) }
    guard let value = values[i] else {
      pointers.append(nil)
      return try lend(i + 1)
    }
    return try value.withUnsafeBytes { raw in
      pointers.append(raw.count == 0 ? UnsafePointer(presentEmpty)
                                     : raw.baseAddress!.assumingMemoryBound(to: UInt8.self))
      return try lend(i + 1)
    }
  }
  return try lend(0)
}

/// Reads a C fixed-size array field (imported as a tuple) as Data.
func tupleData<T>(_ tuple: T) -> Data {
  withUnsafeBytes(of: tuple) { Data($0) }
}

/// Lowercase hexadecimal.
func hex(_ data: Data) -> String {
  data.map { String(format: "%02x", $0) }.joined()
}
