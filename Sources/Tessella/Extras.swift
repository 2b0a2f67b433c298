import CTessella
import Foundation

/// The domain events `sealEvent` records.
public enum EventKind: Int32, Sendable, CaseIterable {
  /// A frame's ownership passed to `peer`.
  case ownershipTransfer = 0
  /// `peer` read the frame.
  case read = 1
  /// `peer` was granted a licence.
  case licenseGrant = 2
}

/// Seals a domain event as a signed frame whose meta is the event document and whose payload is
/// empty; it opens with the data key alone. The nonce is derived, so the same event seals to the
/// same bytes.
public func sealEvent(_ kind: EventKind, scope: ContentID, rights: Rights, expiry: UInt64, peer: PublicKey,
                      key: Data, signer: SigningKey, cipher: Cipher = .chacha20poly1305,
                      owner: PublicKey? = nil, prev: ContentID = .zero) throws -> (frame: Data, cid: ContentID) {
  let author = signer.publicKey
  var buf = tessella_buf(data: nil, len: 0)
  var cid = [UInt8](repeating: 0, count: 32)
  try withPointers([author.data, (owner ?? author).data, prev.data, scope.data, peer.data, key]) { p in
    try check {
      tessella_seal_event(cipher.rawValue, p[0], p[1], p[2], kind.rawValue, p[3], rights.rawValue, expiry,
                          p[4], p[5], key.count, signer.handle, &buf, &cid, $0)
    }
  }
  return (adopt(buf), try ContentID(Data(cid)))
}

/// Generates a BIP-39 English recovery phrase of 12 or 24 words (invalidFormat otherwise). The
/// phrase is a secret; the library's copy is wiped before it is released.
public func generatePhrase(words: Int = 24) throws -> String {
  var buf = tessella_buf(data: nil, len: 0)
  try check { tessella_generate_mnemonic(words, &buf, $0) }
  defer {
    if let p = buf.data { memset(p, 0, buf.len) }
    tessella_buf_free(&buf)
  }
  return String(decoding: UnsafeBufferPointer(start: buf.data, count: buf.len), as: UTF8.self)
}

/// Restores the data key and the signing seed from a recovery phrase (checksum checked; throws
/// invalidFormat "invalid mnemonic"). Both are secrets.
public func restoreKeys(phrase: String) throws -> (dataKey: Data, signingSeed: Seed) {
  var key = [UInt8](repeating: 0, count: 32), seed = [UInt8](repeating: 0, count: 32)
  defer { memset(&key, 0, 32); memset(&seed, 0, 32) }
  var text = Array(phrase.utf8)
  defer { memset(&text, 0, text.count) }
  try text.withUnsafeBufferPointer { b in
    try b.withMemoryRebound(to: CChar.self) { t in
      try check { tessella_restore_keys(t.baseAddress, t.count, &key, &seed, $0) }
    }
  }
  return (Data(key), try Seed(Data(seed)))
}

/// The blind-index token HMAC-SHA-256(key, term): equal terms under one key give equal tokens.
public func blindIndex(key: Data, term: Data) throws -> Data {
  var out = [UInt8](repeating: 0, count: 32)
  try withPointers([key, term]) { p in try check { tessella_blind_index(p[0], key.count, p[1], term.count, &out, $0) } }
  return Data(out)
}
