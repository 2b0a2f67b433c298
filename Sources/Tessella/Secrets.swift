internal import CTessella
import Foundation
#if canImport(Glibc)
internal import Glibc
#elseif canImport(Musl)
internal import Musl
#elseif canImport(Darwin)
internal import Darwin
#endif

/// Secret bytes in memory of their own, wiped before it is released.
///
/// `@unchecked Sendable` is sound: the bytes are written only by `init` (before the object is
/// shared) and by `deinit` (after every reference is gone); in between they are only read.
final class SecureBytes: @unchecked Sendable {
  let pointer: UnsafeMutableRawBufferPointer

  /// Storage of `count` zero bytes, filled by `fill` before anyone else sees it.
  init(count: Int, fill: (UnsafeMutableRawBufferPointer) throws(TessellaError) -> Void) throws(TessellaError) {
    pointer = .allocate(byteCount: max(count, 1), alignment: 16)
    pointer.initializeMemory(as: UInt8.self, repeating: 0)
    do { try fill(UnsafeMutableRawBufferPointer(rebasing: pointer[0..<count])) } catch {
      Self.wipe(pointer)
      pointer.deallocate()
      throw error
    }
    self.count = count
  }

  /// A copy of exactly `count` bytes; any other length throws invalidFormat naming `type`.
  static func copying(_ data: some ContiguousBytes, exactly count: Int, for type: String) throws(TessellaError)
    -> SecureBytes
  {
    try data.withUnsafeBytes { src in
      Result { () throws(TessellaError) in
        guard src.count == count else { throw .length(type, count, src.count) }
        return try SecureBytes(count: count) { $0.copyMemory(from: src) }
      }
    }.get()
  }

  /// The secret's length (the allocation may be one byte longer for an empty secret).
  let count: Int

  var bytes: UnsafeRawBufferPointer { UnsafeRawBufferPointer(rebasing: pointer[0..<count]) }
  var base: UnsafePointer<UInt8> { UnsafePointer(mutableBase) }
  /// For filling right after `init`, before the storage is shared.
  var mutableBase: UnsafeMutablePointer<UInt8> { pointer.baseAddress!.assumingMemoryBound(to: UInt8.self) }

  deinit {
    Self.wipe(pointer)
    if let observe = wipeObserver.value { observe(UnsafeRawBufferPointer(pointer)) }
    pointer.deallocate()
  }

  /// Overwrites with zeros in a way the compiler may not drop.
  static func wipe(_ p: UnsafeMutableRawBufferPointer) {
    guard let base = p.baseAddress, p.count > 0 else { return }
    #if canImport(Darwin)
    _ = memset_s(base, p.count, 0, p.count)
    #else
    explicit_bzero(base, p.count)
    #endif
  }

  /// Equality of two secrets in time that depends on their lengths only.
  func constantTimeEquals(_ other: SecureBytes) -> Bool {
    guard count == other.count else { return false }
    var diff: UInt8 = 0
    for i in 0..<count { diff |= bytes[i] ^ other.bytes[i] }
    return diff == 0
  }
}

/// A test hook: called with a secret's storage after it is wiped and before it is released.
let wipeObserver = Locked<(@Sendable (UnsafeRawBufferPointer) -> Void)?>(nil)

/// A value behind a lock. `@unchecked Sendable` is sound: `value` is read and written only while
/// `lock` is held.
final class Locked<Value>: @unchecked Sendable {
  private let lock = NSLock()
  private var stored: Value
  init(_ value: Value) { stored = value }
  var value: Value {
    get { lock.lock(); defer { lock.unlock() }; return stored }
    set { lock.lock(); defer { lock.unlock() }; stored = newValue }
  }
  func mutate(_ body: (inout Value) -> Void) { lock.lock(); defer { lock.unlock() }; body(&stored) }
}

/// Fills `buffer` from the operating system's random source.
func fillRandom(_ buffer: UnsafeMutableRawBufferPointer) {
  var rng = SystemRandomNumberGenerator()
  for i in 0..<buffer.count { buffer[i] = rng.next() }
}

/// A 32-byte secret: the shared shape of ``DataKey`` and ``SigningSeed``.
public protocol SecretKey: Sendable, Equatable, ContiguousBytes {
  /// Fresh bytes from the operating system's random source.
  init()
  /// Copies 32 bytes; throws ``TessellaError/Kind/invalidFormat`` naming the type for any other
  /// length.
  init(bytes: some ContiguousBytes) throws(TessellaError)
}

/// The 32-byte key a frame's payload is sealed under (like CryptoKit's `SymmetricKey`).
///
/// Its bytes live in storage of their own that is wiped when the last copy of the key is
/// released. Equality takes the same time whatever the bytes; the type is not `Hashable`, so a
/// key never lands in a hash table by accident.
public struct DataKey: SecretKey {
  let storage: SecureBytes

  /// A fresh key from the operating system's random source.
  public init() { storage = try! SecureBytes(count: 32) { fillRandom($0) } }

  public init(bytes: some ContiguousBytes) throws(TessellaError) {
    storage = try .copying(bytes, exactly: 32, for: "DataKey")
  }

  init(storage: SecureBytes) { self.storage = storage }

  /// The key's size in bits: 256.
  public var bitCount: Int { storage.count * 8 }

  /// Lends the key's bytes; do not keep them.
  public func withUnsafeBytes<R>(_ body: (UnsafeRawBufferPointer) throws -> R) rethrows -> R {
    try withExtendedLifetime(storage) { try body(storage.bytes) }
  }

  /// Equal keys, compared in constant time.
  public static func == (a: DataKey, b: DataKey) -> Bool { a.storage.constantTimeEquals(b.storage) }
}

/// The 32-byte seed of an Ed25519 key pair (RFC 8032). Stored, compared and wiped like ``DataKey``.
public struct SigningSeed: SecretKey {
  let storage: SecureBytes

  /// A fresh seed from the operating system's random source.
  public init() { storage = try! SecureBytes(count: 32) { fillRandom($0) } }

  public init(bytes: some ContiguousBytes) throws(TessellaError) {
    storage = try .copying(bytes, exactly: 32, for: "SigningSeed")
  }

  init(storage: SecureBytes) { self.storage = storage }

  /// Lends the seed's bytes; do not keep them.
  public func withUnsafeBytes<R>(_ body: (UnsafeRawBufferPointer) throws -> R) rethrows -> R {
    try withExtendedLifetime(storage) { try body(storage.bytes) }
  }

  /// Equal seeds, compared in constant time.
  public static func == (a: SigningSeed, b: SigningSeed) -> Bool { a.storage.constantTimeEquals(b.storage) }
}

/// An Ed25519 signing key: the one way to sign frames, events and capability tokens.
///
/// `@unchecked Sendable` is sound: the library's key is immutable after creation, every library
/// call that reads it is re-entrant, and it is wiped and freed only in `deinit`.
public final class SigningKey: @unchecked Sendable {
  let handle: OpaquePointer
  /// The seed the key was derived from.
  public let seed: SigningSeed
  /// The key's public half.
  public let publicKey: PublicKey

  /// A fresh key pair from a random seed.
  public convenience init() { try! self.init(seed: SigningSeed()) }

  /// Derives the key pair from a seed (RFC 8032).
  public init(seed: SigningSeed) throws(TessellaError) {
    guard let made = tessella_signing_key_from_seed(seed.storage.base) else {
      throw TessellaError(.internal, "out of memory")
    }
    handle = made
    self.seed = seed
    var pub = [UInt8](repeating: 0, count: 32)
    tessella_verifying_key_bytes(made, &pub)
    publicKey = PublicKey(unchecked: pub)
  }

  deinit { tessella_signing_key_free(handle) }

  /// Signs `message` with pure Ed25519 and returns the 64-byte signature.
  public func signature(for message: some DataProtocol) throws(TessellaError) -> Data {
    var sig = [UInt8](repeating: 0, count: 64)
    try withBytes(message) { m throws(TessellaError) in
      try check { tessella_sign(handle, m.baseAddress, m.count, &sig, $0) }
    }
    return Data(sig)
  }
}

/// A BIP-39 English recovery phrase of 12 or 24 words: the secret a data key and a signing key
/// are restored from. Its text lives in storage of its own that is wiped when released.
public struct RecoveryPhrase: Sendable {
  let storage: SecureBytes

  /// A fresh phrase of 12 or 24 words (any other count throws invalidFormat
  /// "invalid word count").
  public init(wordCount: Int = 24) throws(TessellaError) {
    var buf = tessella_buf(data: nil, len: 0)
    try check { tessella_generate_mnemonic(wordCount, &buf, $0) }
    defer {
      if let p = buf.data { SecureBytes.wipe(UnsafeMutableRawBufferPointer(start: p, count: buf.len)) }
      tessella_buf_free(&buf)
    }
    storage = try SecureBytes(count: buf.len) { $0.copyMemory(from: UnsafeRawBufferPointer(start: buf.data, count: buf.len)) }
  }

  /// Takes a phrase's text (words separated by spaces). The text is checked when the keys are
  /// restored. The `String` passed in is not wiped; prefer ``init(utf8:)`` with bytes you wipe.
  public init(_ text: some StringProtocol) {
    var utf8 = Array(text.utf8)
    defer { utf8.withUnsafeMutableBytes { SecureBytes.wipe($0) } }
    storage = try! SecureBytes(count: utf8.count) { dst in utf8.withUnsafeBytes { dst.copyMemory(from: $0) } }
  }

  /// Takes a phrase's text as UTF-8 bytes.
  public init(utf8 bytes: some ContiguousBytes) {
    storage = bytes.withUnsafeBytes { src in try! SecureBytes(count: src.count) { $0.copyMemory(from: src) } }
  }

  /// The number of words.
  public var wordCount: Int { storage.bytes.split(separator: UInt8(ascii: " ")).count }

  /// Lends the phrase's UTF-8 text (words separated by single spaces); do not keep it.
  public func withUTF8<R>(_ body: (UnsafeRawBufferPointer) throws -> R) rethrows -> R {
    try withExtendedLifetime(storage) { try body(storage.bytes) }
  }

  /// Restores the data key and the signing key the phrase stands for (throws invalidFormat
  /// "invalid mnemonic" for a phrase whose words or checksum are wrong).
  public func restoreKeys() throws(TessellaError) -> RecoveredKeys {
    let key = try SecureBytes(count: 32) { _ in }, seed = try SecureBytes(count: 32) { _ in }
    try check {
      tessella_restore_keys(UnsafeRawPointer(storage.base).assumingMemoryBound(to: CChar.self), storage.count,
                            key.mutableBase, seed.mutableBase, $0)
    }
    return RecoveredKeys(dataKey: DataKey(storage: key), signingKey: try SigningKey(seed: SigningSeed(storage: seed)))
  }
}

/// The keys a recovery phrase stands for.
public struct RecoveredKeys: Sendable {
  /// The data key frames are sealed under.
  public let dataKey: DataKey
  /// The signing key frames, events and tokens are signed with.
  public let signingKey: SigningKey
}
