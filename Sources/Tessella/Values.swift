import CTessella
import Foundation

// Fixed-size values. Each init(_:) refuses Data of another length with a TessellaError of kind
// invalidFormat whose detail names the type and both lengths ("PublicKey needs 32 bytes, got 31"),
// so a wrong length never reaches the library.

/// A content identifier: the 32-byte BLAKE3 hash of a frame's wire form.
public struct ContentID: Hashable, Sendable, CustomStringConvertible {
  /// The 32 bytes.
  public let data: Data
  /// Wraps 32 bytes; throws `TessellaError` (invalidFormat) for any other length.
  public init(_ data: Data) throws { self.data = try exactLength(data, 32, "ContentID") }
  /// Thirty-two zero bytes: the prev_cid of a frame with no predecessor.
  public static let zero = try! ContentID(Data(count: 32))
  /// Lowercase hexadecimal.
  public var description: String { hex(data) }
}

/// An Ed25519 public key (32 bytes).
public struct PublicKey: Hashable, Sendable, CustomStringConvertible {
  /// The 32 bytes.
  public let data: Data
  /// Wraps 32 bytes; throws `TessellaError` (invalidFormat) for any other length.
  public init(_ data: Data) throws { self.data = try exactLength(data, 32, "PublicKey") }
  /// Lowercase hexadecimal.
  public var description: String { hex(data) }

  /// Checks a 64-byte signature over `message` strictly; throws `TessellaError`
  /// (signatureInvalid) when it does not verify.
  public func verify(signature: Data, for message: Data) throws {
    let sig = try exactLength(signature, 64, "Signature")
    try withPointers([data, message, sig]) { p in
      try check { tessella_verify(p[0], p[1], message.count, p[2], $0) }
    }
  }
}

/// A 32-byte Ed25519 signing seed. A secret: its holder decides how long it lives.
public struct Seed: Hashable, Sendable {
  /// The 32 bytes.
  public let data: Data
  /// Wraps 32 bytes; throws `TessellaError` (invalidFormat) for any other length.
  public init(_ data: Data) throws { self.data = try exactLength(data, 32, "Seed") }
}

/// A 12-byte AEAD nonce. A nonce must never be used twice with one data key.
public struct Nonce: Hashable, Sendable, CustomStringConvertible {
  /// The 12 bytes.
  public let data: Data
  /// Wraps 12 bytes; throws `TessellaError` (invalidFormat) for any other length.
  public init(_ data: Data) throws { self.data = try exactLength(data, 12, "Nonce") }
  /// Twelve bytes from the operating system's random source.
  public static func random() -> Nonce {
    var bytes = [UInt8](repeating: 0, count: 12)
    tessella_random_nonce(&bytes)
    return try! Nonce(Data(bytes))
  }
  /// Lowercase hexadecimal.
  public var description: String { hex(data) }
}

/// A frame's 16-byte time stamp field, opaque to the library.
public struct Timestamp: Hashable, Sendable, CustomStringConvertible {
  /// The 16 bytes.
  public let data: Data
  /// Wraps 16 bytes; throws `TessellaError` (invalidFormat) for any other length.
  public init(_ data: Data) throws { self.data = try exactLength(data, 16, "Timestamp") }
  /// Sixteen zero bytes.
  public static let zero = try! Timestamp(Data(count: 16))
  /// Lowercase hexadecimal.
  public var description: String { hex(data) }
}

/// An Ed25519 signing key. Owns the library's key, which is wiped when this object goes away.
/// Immutable after creation; the library's calls are re-entrant, so it may be shared across tasks.
public final class SigningKey: @unchecked Sendable {
  let handle: OpaquePointer

  /// Derives the key pair from a 32-byte seed (RFC 8032). Throws `TessellaError` (internal) only
  /// when memory runs out.
  public init(seed: Seed) throws {
    let made = seed.data.withUnsafeBytes { tessella_signing_key_from_seed($0.bindMemory(to: UInt8.self).baseAddress) }
    guard let made else { throw TessellaError(kind: .internal, detail: "out of memory") }
    handle = made
  }

  deinit { tessella_signing_key_free(handle) }

  /// The key's public half.
  public var publicKey: PublicKey {
    var out = [UInt8](repeating: 0, count: 32)
    tessella_verifying_key_bytes(handle, &out)
    return try! PublicKey(Data(out))
  }

  /// Signs `message` (pure Ed25519) and returns the 64-byte signature.
  public func sign(_ message: Data) throws -> Data {
    var sig = [UInt8](repeating: 0, count: 64)
    try withPointers([message]) { p in try check { tessella_sign(handle, p[0], message.count, &sig, $0) } }
    return Data(sig)
  }
}
