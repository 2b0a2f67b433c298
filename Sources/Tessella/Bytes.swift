import Foundation

/// Lends the bytes of `data` to `body` as one contiguous buffer (copying only when `data` is not
/// contiguous).
func withBytes<R>(_ data: some DataProtocol,
                  _ body: (UnsafeBufferPointer<UInt8>) throws(TessellaError) -> R) throws(TessellaError) -> R {
  if let result = data.withContiguousStorageIfAvailable({ b in Result { () throws(TessellaError) in try body(b) } }) {
    return try result.get()
  }
  return try Array(data).withUnsafeBufferPointer { b in Result { () throws(TessellaError) in try body(b) } }.get()
}

/// Copies the bytes of `data` into an array of exactly `count` bytes, or throws naming `what`.
func exactBytes(_ data: some ContiguousBytes, _ count: Int, _ what: String) throws(TessellaError) -> [UInt8] {
  let bytes = data.withUnsafeBytes { Array($0) }
  guard bytes.count == count else { throw .length(what, count, bytes.count) }
  return bytes
}

/// Reads a C fixed-size array (imported as a tuple) as bytes.
func tupleBytes<T>(_ tuple: T) -> [UInt8] { withUnsafeBytes(of: tuple) { Array($0) } }

/// Lowercase hexadecimal.
func hexString(_ bytes: some Sequence<UInt8>) -> String {
  let digits = Array("0123456789abcdef".utf8)
  var out = [UInt8]()
  for b in bytes { out += [digits[Int(b >> 4)], digits[Int(b & 15)]] }
  return String(decoding: out, as: UTF8.self)
}

/// Decodes hexadecimal (either case) of exactly `count` bytes, or throws naming `what`.
func hexBytes(_ text: some StringProtocol, _ count: Int, _ what: String) throws(TessellaError) -> [UInt8] {
  let utf8 = Array(text.utf8)
  guard utf8.count == 2 * count else {
    throw TessellaError(.invalidFormat, "\(what) needs \(2 * count) hexadecimal digits, got \(utf8.count)")
  }
  func nibble(_ c: UInt8) throws(TessellaError) -> UInt8 {
    switch c {
    case UInt8(ascii: "0")...UInt8(ascii: "9"): return c - UInt8(ascii: "0")
    case UInt8(ascii: "a")...UInt8(ascii: "f"): return c - UInt8(ascii: "a") + 10
    case UInt8(ascii: "A")...UInt8(ascii: "F"): return c - UInt8(ascii: "A") + 10
    default: throw TessellaError(.invalidFormat, "\(what) has a character that is not a hexadecimal digit")
    }
  }
  var out = [UInt8]()
  out.reserveCapacity(count)
  for i in stride(from: 0, to: utf8.count, by: 2) { out.append(try nibble(utf8[i]) << 4 | nibble(utf8[i + 1])) }
  return out
}

/// Seconds since 1970 for the wire; dates before 1970 are refused.
func wireSeconds(_ date: Date, _ what: String) throws(TessellaError) -> UInt64 {
  let seconds = date.timeIntervalSince1970.rounded(.down)
  guard seconds >= 0, seconds < 18_446_744_073_709_551_616 else {
    throw TessellaError(.invalidFormat, "\(what) is outside 1970 to 2^64 seconds")
  }
  return UInt64(seconds)
}

/// A fixed-size public value: raw bytes, hexadecimal text, `Codable` as lowercase hexadecimal.
public protocol FixedSizeValue: Hashable, Sendable, Codable, CustomStringConvertible {
  /// The value's size in bytes.
  static var byteCount: Int { get }
  /// The value's bytes.
  var rawRepresentation: Data { get }
  /// Wraps exactly ``byteCount`` bytes; throws ``TessellaError/Kind/invalidFormat`` naming the type
  /// for any other length.
  init(rawRepresentation: some ContiguousBytes) throws(TessellaError)
}

extension FixedSizeValue {
  /// Parses ``byteCount`` bytes of hexadecimal text (either case).
  public init(hex: some StringProtocol) throws(TessellaError) {
    try self.init(rawRepresentation: hexBytes(hex, Self.byteCount, "\(Self.self)"))
  }
  /// Lowercase hexadecimal.
  public var description: String { hexString(rawRepresentation) }
  /// Decodes lowercase (or uppercase) hexadecimal text.
  public init(from decoder: any Decoder) throws {
    let text = try decoder.singleValueContainer().decode(String.self)
    try self.init(hex: text)
  }
  /// Encodes lowercase hexadecimal text.
  public func encode(to encoder: any Encoder) throws {
    var c = encoder.singleValueContainer()
    try c.encode(description)
  }
}
