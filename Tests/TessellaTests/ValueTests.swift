import Foundation
import Testing
@testable import Tessella

@Test func publicValuesRoundTripAsTextAndJSON() throws {
  let t = try token(ContentID(hashing: payload))
  let json = try JSONEncoder().encode(Snapshot(key: author.publicKey, id: t.scope, nonce: fixedNonce, token: t,
                                               rights: [.readRaw, Rights(rawValue: 0x40)], policy: guarded,
                                               search: try SearchToken(term: payload, key: key)))
  let text = String(decoding: json, as: UTF8.self)
  #expect(text.contains("\"\(hexString(author.publicKey.bytes))\"") && text.contains("\"000102030405060708090a0b\""))
  #expect(text.contains(t.rawRepresentation.base64EncodedString().replacingOccurrences(of: "/", with: "\\/")))
  #expect(text.contains("\"READ_RAW | 0x40\""))
  #expect(try JSONDecoder().decode(Snapshot.self, from: json) == JSONDecoder().decode(Snapshot.self, from: json))
  let back = try JSONDecoder().decode(Snapshot.self, from: json)
  #expect(back.key == author.publicKey && back.token == t && back.rights == [.readRaw, Rights(rawValue: 0x40)])
  #expect(try PublicKey(hex: author.publicKey.description.uppercased()) == author.publicKey)
  #expect(try CapabilityToken(hex: hexString(t.rawRepresentation)) == t && CapabilityToken(base64: t.description) == t)
  let refusals: [(String, () throws -> Any, String)] = [
    ("short key", { try PublicKey(rawRepresentation: [UInt8](repeating: 0, count: 31)) }, "PublicKey needs 32 bytes, got 31"),
    ("long cid", { try ContentID(rawRepresentation: [UInt8](repeating: 0, count: 33)) }, "ContentID needs 32 bytes, got 33"),
    ("odd hex", { try Nonce(hex: "0011") }, "Nonce needs 24 hexadecimal digits, got 4"),
    ("not hex", { try ContentID(hex: String(repeating: "g", count: 64)) }, "ContentID has a character that is not a hexadecimal digit"),
    ("data key", { try DataKey(bytes: [UInt8](repeating: 0, count: 16)) }, "DataKey needs 32 bytes, got 16"),
    ("seed", { try SigningSeed(bytes: [UInt8]()) }, "SigningSeed needs 32 bytes, got 0"),
    ("timestamp", { var e = Frame.Envelope(); e.timestamp = Data(count: 15)
                    return try Frame.seal(payload, using: key, signedBy: author, envelope: e) }, "timestamp needs 16 bytes, got 15"),
  ]
  for (name, attempt, detail) in refusals {
    let error = failure(attempt)
    #expect(error?.kind == .invalidFormat && error?.detail == detail, "\(name): \(String(describing: error))")
    #expect(error?.errorDescription == "invalid frame format: " + detail)
  }
  #expect(failure { try CapabilityToken(rawRepresentation: t.rawRepresentation.prefix(179)) }?.kind == .capabilityInvalid)
}

struct Snapshot: Codable, Equatable {
  let key: PublicKey, id: ContentID, nonce: Nonce, token: CapabilityToken, rights: Rights, policy: Policy, search: SearchToken
}

@Test func rightsTextAndPolicies() throws {
  for (rights, text) in [(Rights(), ""), ([.readFeatures, .computeUse], "READ_FEATURES | COMPUTE_USE"),
                         ([.licenseGrant, Rights(rawValue: 0x40)], "LICENSE_GRANT | 0x40")] as [(Rights, String)] {
    #expect(rights.description == text)
    #expect(try Rights(parsing: " " + text.replacingOccurrences(of: " | ", with: "|") + " ") == rights)
  }
  for (text, detail) in [("READ_RAW |", "empty flag"), ("WRITE", "invalid named flag"), ("0xZZ", "invalid hex flag")] {
    let error = failure { try Rights(parsing: text) }
    #expect(error?.kind == .rightsText && error?.detail == detail && error?.description == "invalid rights text: " + detail)
  }
  for (meta, policy) in [(guarded.meta, guarded), (Data("{\"require_cap\":true}".utf8), Policy(requireCapability: true)),
                         (Data("not json".utf8), .unguarded), (Data(), .unguarded)] {
    #expect(Policy(meta: meta) == policy, "\(String(decoding: meta, as: UTF8.self))")
  }
}

@Test func keysSignaturesPhrasesAndSearch() throws {
  let message = Data("message".utf8), sig = try author.signature(for: message)
  #expect(author.publicKey.isValidSignature(sig, for: message))
  #expect(!author.publicKey.isValidSignature(sig, for: message + [0]) && !holder.publicKey.isValidSignature(sig, for: message))
  #expect(!author.publicKey.isValidSignature(sig.prefix(63), for: message))
  #expect(try SigningKey(seed: author.seed).publicKey == author.publicKey && SigningKey().publicKey != SigningKey().publicKey)
  #expect(try DataKey() != DataKey() && key == DataKey(bytes: [UInt8](repeating: 0x42, count: 32)) && key.bitCount == 256)

  for words in [12, 24] {
    let phrase = try RecoveryPhrase(wordCount: words), keys = try phrase.restoreKeys()
    let copy = phrase.withUTF8 { RecoveryPhrase(utf8: Array($0)) }
    #expect(try phrase.wordCount == words && copy.restoreKeys().dataKey == keys.dataKey)
    #expect(try RecoveryPhrase(phrase.withUTF8 { String(decoding: $0, as: UTF8.self) }).restoreKeys().signingKey.publicKey == keys.signingKey.publicKey)
  }
  #expect(failure { try RecoveryPhrase(wordCount: 13) }?.detail == "invalid word count")
  #expect(failure { try RecoveryPhrase("abandon abandon").restoreKeys() }?.detail == "invalid mnemonic")

  let a = try SearchToken(term: Data("alice".utf8), key: key)
  #expect(try a == SearchToken(term: Array("alice".utf8), key: key) && a != SearchToken(term: Data("alicf".utf8), key: key))
  #expect(try a != SearchToken(term: Data("alice".utf8), key: DataKey()))
}

/// A released secret's storage reads back as zeros (observed after the wipe, before the release).
@Test(.serialized, arguments: ["DataKey", "SigningSeed", "RecoveryPhrase", "SigningKey's seed"])
func releasedSecretsAreWiped(kind: String) throws {
  let seen = Locked<[[UInt8]]>([])
  wipeObserver.value = { bytes in seen.mutate { $0.append(Array(bytes)) } }
  defer { wipeObserver.value = nil }
  let secret = [UInt8](repeating: 0xA5, count: 32)
  do {
    switch kind {
    case "DataKey": _ = try DataKey(bytes: secret)
    case "SigningSeed": _ = try SigningSeed(bytes: secret)
    case "RecoveryPhrase": _ = RecoveryPhrase(utf8: secret)
    default: _ = try SigningKey(seed: SigningSeed(bytes: secret))
    }
  }
  let released = seen.value.filter { $0.count >= 32 }
  #expect(!released.isEmpty, "\(kind): nothing released")
  #expect(released.allSatisfy { $0.allSatisfy { $0 == 0 } }, "\(kind): \(released)")
}

@Test func concurrentUseFromManyTasks() async throws {
  let frame = try Frame.seal(payload, using: key, signedBy: author, policy: guarded)
  let grant = try token(frame.id)
  let results = try await withThrowingTaskGroup(of: Bool.self) { group in
    for i in 0..<64 {
      group.addTask {
        let mine = try Frame.seal(Data("task \(i)".utf8), using: key, signedBy: author)
        try mine.verify(author: author.publicKey)
        return try mine.open(using: key) == Data("task \(i)".utf8)
          && frame.open(using: key, capability: grant, presentedBy: holder.publicKey) == payload
      }
    }
    return try await group.reduce(into: [Bool]()) { $0.append($1) }
  }
  #expect(results.count == 64 && results.allSatisfy { $0 })
}
