// The road of a frame from Swift: seal under a policy, grant a capability, open as its holder,
// be refused as a stranger, verify the author. Exits 1 if any step misbehaves.
import Foundation
import Tessella

func step(_ name: String, _ ok: Bool) {
  print("\(ok ? "ok  " : "FAIL") \(name)")
  if !ok { exit(1) }
}

do {
  let author = try SigningKey(seed: Seed(Data((0..<32).map { UInt8($0) })))
  let holder = try SigningKey(seed: Seed(Data(repeating: 7, count: 32)))
  let stranger = try SigningKey(seed: Seed(Data(repeating: 9, count: 32)))
  let key = Data(repeating: 0x42, count: 32), payload = Data("quarterly report".utf8)

  let policy = Policy(requireCapability: true, allowedOps: .readRaw)
  let (frame, cid) = try seal(payload, key: key, signer: author, meta: policy.meta)
  step("sealed \(frame.count) bytes as \(cid)", try Policy(meta: FrameFields(parsing: frame).meta) == policy)

  let token = try CapabilityToken.issue(issuerSeed: Seed(Data((0..<32).map { UInt8($0) })), scope: cid,
                                        rights: [.readFeatures, .readRaw], expiry: 2_000_000_000,
                                        holder: holder.publicKey)
  step("granted \(token.rights) to \(token.holder)", token.scope == cid)

  let opened = try open(frame: frame, key: key, capability: token, presenter: holder.publicKey, now: 1_800_000_000)
  step("opened as the holder: \(String(decoding: opened, as: UTF8.self))", opened == payload)

  do {
    _ = try open(frame: frame, key: key, capability: token, presenter: stranger.publicKey)
    step("a stranger opened the frame", false)
  } catch let error as TessellaError {
    step("refused as a stranger: \(error)", error.kind == .capabilityInvalid)
  }

  let report = try verify(frame: frame), signedBy = try FrameFields(parsing: frame).author
  step("verified: signed by \(signedBy)", report.valid && report.cid == cid && signedBy == author.publicKey)
} catch {
  step("unexpected error: \(error)", false)
}
