// The road of a frame: seal under a policy, grant a token, open as its holder, verify the author,
// record the read, restore the keys from the phrase, search. Exits 1 if any step misbehaves.
import Foundation
import Tessella

func step(_ name: String, _ ok: Bool) {
  print("\(ok ? "ok  " : "FAIL") \(name)")
  if !ok { exit(1) }
}

do {
  let phrase = try RecoveryPhrase(wordCount: 24)
  let keys = try phrase.restoreKeys()
  let (dataKey, author) = (keys.dataKey, keys.signingKey)
  let reader = SigningKey(), payload = Data("quarterly report".utf8)

  let frame = try Frame.seal(payload, using: dataKey, signedBy: author,
                             policy: Policy(requireCapability: true, allowedOps: .readRaw))
  step("sealed \(frame.rawRepresentation.count) bytes as \(frame.id)", frame.policy.requireCapability)

  let token = try CapabilityToken(issuer: author, scope: frame.id, rights: [.readRaw],
                                  expiry: Date().addingTimeInterval(3600), holder: reader.publicKey)
  step("granted \(token.rights) to \(token.holder) for an hour", token.scope == frame.id)

  let opened = try frame.open(using: dataKey, capability: token, presentedBy: reader.publicKey)
  step("opened as the holder: \(String(decoding: opened, as: UTF8.self))", opened == payload)

  do {
    _ = try frame.open(using: dataKey, capability: token, presentedBy: SigningKey().publicKey)
    step("a stranger opened the frame", false)
  } catch {
    step("refused a stranger: \(error)", error.kind == .capabilityInvalid)
  }

  try frame.verify(author: author.publicKey)
  step("verified: sealed by \(author.publicKey)", true)

  let read = try Event(.read, scope: frame.id, rights: token.rights, expiry: token.expiry, peer: reader.publicKey)
    .sealed(using: dataKey, signedBy: author, previous: frame.id)
  step("recorded the read as \(read.id)", read.header.previous == frame.id)

  let restored = try phrase.restoreKeys()
  step("restored the keys from the phrase", restored.dataKey == dataKey && restored.signingKey.publicKey == author.publicKey)

  let index = try SearchToken(term: Data("quarterly".utf8), key: dataKey)
  step("search token \(index)", try index == SearchToken(term: Data("quarterly".utf8), key: restored.dataKey))
} catch {
  step("unexpected error: \(error)", false)
}
