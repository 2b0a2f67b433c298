import Foundation
import Testing
@testable import Tessella

@Test(arguments: Cipher.allCases, [0, 1, 70_000])
func sealParseVerifyOpen(cipher: Cipher, size: Int) throws {
  let plain = Data((0..<size).map { UInt8(truncatingIfNeeded: $0 &* 7) })
  var envelope = Frame.Envelope(cipher: cipher, owner: holder.publicKey, previous: ContentID(hashing: Data("x".utf8)))
  (envelope.pol, envelope.timestamp, envelope.hdr2, envelope.hdr3) = (Data("pol".utf8), Data(repeating: 5, count: 16), 9, 4)
  let frame = try Frame.seal(plain, using: key, signedBy: author, policy: .unguarded, envelope: envelope)
  let h = frame.header
  #expect(frame.rawRepresentation.count == 216 + 3 + frame.meta.count + size && frame.ciphertext.count == size)
  #expect(h.cipher == cipher && [h.version, h.hdr2, h.hdr3] == [1, 9, 4] && h.timestamp == Data(repeating: 5, count: 16))
  #expect(h.author == author.publicKey && h.owner == holder.publicKey && h.previous == envelope.previous)
  #expect(frame.pol == Data("pol".utf8) && frame.policy == .unguarded && frame.tag.count == 16 && frame.signature.count == 64)
  #expect(frame.id == ContentID(hashing: frame.rawRepresentation))
  #expect(try Frame(rawRepresentation: frame.rawRepresentation + [0xEE]) == frame)
  try frame.verify(author: author.publicKey)
  #expect(try frame.verifyIntactOnly() == author.publicKey)
  #expect(failure { try frame.verify(author: holder.publicKey) }?.kind == .signatureInvalid)
  #expect(try frame.open(using: key) == plain)
  let again = try Frame.seal(plain, using: key, signedBy: author, envelope: envelope)
  #expect(again.header.nonce != h.nonce, "a fresh nonce for every seal")
}

/// Every field of a frame (pol "pol", meta "meta", 8-byte payload), altered: what opening and
/// verifying say. Opening checks no signature, so an altered signature still opens.
@Test(arguments: [
  ("version", 0, 1, Set([TessellaError.Kind.aeadTagMismatch]), Set([TessellaError.Kind.signatureInvalid])),
  ("alg", 1, 3, [.aeadTagMismatch], [.signatureInvalid]),
  ("alg unknown", 1, 4, [.invalidFormat], [.invalidFormat]),
  ("hdr2", 2, 1, [.aeadTagMismatch], [.signatureInvalid]), ("hdr3", 3, 1, [.aeadTagMismatch], [.signatureInvalid]),
  ("nonce", 4, 1, [.aeadTagMismatch], [.signatureInvalid]), ("ts", 16, 1, [.aeadTagMismatch], [.signatureInvalid]),
  ("author", 32, 1, [.aeadTagMismatch], [.signatureInvalid, .invalidFormat]),
  ("owner", 64, 1, [.aeadTagMismatch], [.signatureInvalid]), ("prev_cid", 96, 1, [.aeadTagMismatch], [.signatureInvalid]),
  ("pol length", 129, 1, [.aeadTagMismatch], [.signatureInvalid]),
  ("meta length", 131, 1, [.invalidFormat], [.invalidFormat]), ("ct length", 135, 1, [.invalidFormat], [.invalidFormat]),
  ("pol", 136, 1, [.aeadTagMismatch], [.signatureInvalid]), ("meta", 139, 1, [.aeadTagMismatch], [.signatureInvalid]),
  ("ct", 143, 1, [.aeadTagMismatch], [.signatureInvalid]), ("tag", 151, 1, [.aeadTagMismatch], [.signatureInvalid]),
  ("sig", 167, 1, [], [.signatureInvalid]),
] as [(String, Int, UInt8, Set<TessellaError.Kind>, Set<TessellaError.Kind>)])
func frameTamperMatrix(field: String, offset: Int, mask: UInt8, opening: Set<TessellaError.Kind>,
                       verifying: Set<TessellaError.Kind>) throws {
  var envelope = Frame.Envelope()
  (envelope.pol, envelope.meta) = (Data("pol".utf8), Data("meta".utf8))
  let good = try Frame.seal(Data("8 bytes!".utf8), using: key, signedBy: author, envelope: envelope)
  let bad = flipped(good.rawRepresentation, at: offset, mask: mask)
  let frame: Frame
  do { frame = try Frame(rawRepresentation: bad) } catch {
    #expect(opening == [.invalidFormat] && verifying == [.invalidFormat], "\(field): \(error)")
    return
  }
  let opened = failure { try frame.open(using: key) }
  #expect(opened.map { opening.contains($0.kind) } ?? opening.isEmpty, "\(field): \(String(describing: opened))")
  let verified = failure { try frame.verify(author: author.publicKey) }
  #expect(verified.map { verifying.contains($0.kind) } == true, "\(field): \(String(describing: verified))")
  #expect(frame.id != good.id)
}

/// Every field of a token, altered, presented by its holder for a guarded frame.
@Test(arguments: [("scope", 0, TessellaError.Kind.signatureInvalid), ("rights", 32, .signatureInvalid),
                  ("expiry", 36, .signatureInvalid), ("holder", 44, .capabilityInvalid),
                  ("issuer", 76, .signatureInvalid), ("signature length", 108, .capabilityInvalid),
                  ("signature", 116, .signatureInvalid)])
func tokenTamperMatrix(field: String, offset: Int, expected: TessellaError.Kind) throws {
  let frame = try Frame.seal(payload, using: key, signedBy: author, policy: guarded)
  let good = try token(frame.id)
  #expect(try frame.open(using: key, capability: good, presentedBy: holder.publicKey) == payload)
  let altered = flipped(good.rawRepresentation, at: offset)
  let error = failure {
    let bad = try CapabilityToken(rawRepresentation: altered)
    #expect(bad.isValid(presentedBy: holder.publicKey) == false, "\(field)")
    return try frame.open(using: key, capability: bad, presentedBy: holder.publicKey)
  }
  #expect(error?.kind == expected, "\(field): \(String(describing: error))")
}

/// Who may open a guarded frame (owner: the author), under which trust and at which time.
@Test func trustAndExpiryTable() throws {
  let frame = try Frame.seal(payload, using: key, signedBy: author, policy: guarded)
  let other = try Frame.seal(payload, using: key, signedBy: author, policy: guarded)
  typealias Row = (String, CapabilityToken?, PublicKey?, Frame.TrustedIssuers, Frame.ExpiryCheck, TessellaError.Kind?)
  let byOwner = try token(frame.id), byThird = try token(frame.id, by: third), expired = try token(frame.id, expiry: anHourAgo)
  let rows: [Row] = [
    ("owner's token", byOwner, holder.publicKey, .owner, .now, nil),
    ("third party's token, owner trusted", byThird, holder.publicKey, .owner, .now, .capabilityInvalid),
    ("third party listed", byThird, holder.publicKey, .keys([third.publicKey]), .now, nil),
    ("owner not listed", byOwner, holder.publicKey, .keys([third.publicKey]), .now, .capabilityInvalid),
    ("owner and list", byOwner, holder.publicKey, .keys([third.publicKey], includingOwner: true), .now, nil),
    ("nobody trusted", byOwner, holder.publicKey, .keys([]), .now, .capabilityInvalid),
    ("any issuer", byThird, holder.publicKey, .anyIssuer, .now, nil),
    ("expired", expired, holder.publicKey, .owner, .now, .capabilityInvalid),
    ("expired, checked two hours ago", expired, holder.publicKey, .owner, .at(Date().addingTimeInterval(-7200)), nil),
    ("expired, check skipped", expired, holder.publicKey, .owner, .skipped, nil),
    ("valid, checked in two hours", byOwner, holder.publicKey, .owner, .at(Date().addingTimeInterval(7200)), .capabilityInvalid),
    ("no token", nil, holder.publicKey, .owner, .now, .capabilityInvalid),
    ("no presenter", byOwner, nil, .owner, .now, .capabilityInvalid),
    ("another presenter", byOwner, third.publicKey, .owner, .now, .capabilityInvalid),
    ("missing right", try token(frame.id, rights: .readFeatures), holder.publicKey, .owner, .now, .policyViolation),
    ("another frame's token", try token(other.id), holder.publicKey, .owner, .now, .policyViolation),
  ]
  for (name, cap, presenter, trust, expiry, expected) in rows {
    let error = failure { try frame.open(using: key, capability: cap, presentedBy: presenter, trusting: trust, expiry: expiry) }
    #expect(error?.kind == expected, "\(name): \(String(describing: error))")
  }
  #expect(failure { try frame.open(using: DataKey(), capability: byOwner, presentedBy: holder.publicKey) }?.kind == .aeadTagMismatch)
}

@Test func eventsAndTransfers() throws {
  for kind in Event.Kind.allCases {
    let event = Event(kind, scope: ContentID(hashing: payload), rights: .licenseGrant, expiry: inAnHour, peer: holder.publicKey)
    let a = try event.sealed(using: key, signedBy: author, previous: event.scope)
    #expect(try a == event.sealed(using: key, signedBy: author, previous: event.scope), "events are deterministic")
    #expect(try a.open(using: key).isEmpty && a.header.previous == event.scope && a.header.hdr2 == 1)
    #expect(a.meta.range(of: Data("\"rights\":8".utf8)) != nil && a.pol == Data("event".utf8))
    try a.verify(author: author.publicKey)
  }
  let t = try Frame.transferTemplate(previous: ContentID(hashing: payload), newOwner: holder.publicKey)
  #expect(t.rawRepresentation.count == 216 && t.header.owner == holder.publicKey && t.header.previous == ContentID(hashing: payload))
  #expect(failure { try t.verifyIntactOnly() }?.detail == "author_pub")
}
