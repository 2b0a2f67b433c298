import Foundation
import Testing
import Tessella

let dataKey = Data(repeating: 0x42, count: 32)
let author = try! SigningKey(seed: Seed(Data(repeating: 1, count: 32)))
let holder = try! SigningKey(seed: Seed(Data(repeating: 2, count: 32)))
let stranger = try! SigningKey(seed: Seed(Data(repeating: 3, count: 32)))
let guarded = Policy(requireCapability: true, allowedOps: .readRaw)

func grant(_ cid: ContentID, _ rights: Rights = [.readRaw, .readFeatures], expiry: UInt64 = 5000,
           to key: SigningKey = holder) throws -> CapabilityToken {
  try CapabilityToken.issue(issuerSeed: Seed(Data(repeating: 1, count: 32)), scope: cid, rights: rights,
                            expiry: expiry, holder: key.publicKey)
}

func kind(_ body: () throws -> Any) -> TessellaError.Kind? {
  do { _ = try body(); return nil } catch let e as TessellaError { return e.kind } catch { return .internal }
}

func flipped(_ data: Data, at index: Int) -> Data { var d = data; d[d.startIndex + index] ^= 1; return d }

@Test(arguments: [Cipher.aes256gcm, .chacha20poly1305], [0, 1, 1000])
func sealParseOpenRoundTrip(cipher: Cipher, size: Int) throws {
  let payload = Data((0..<size).map { UInt8(truncatingIfNeeded: $0 * 7) })
  let nonce = Nonce.random(), ts = try Timestamp(Data(repeating: 5, count: 16))
  let prev = try frameID(try seal(Data(), key: dataKey, signer: author).frame)
  let (frame, cid) = try seal(payload, key: dataKey, signer: author, cipher: cipher, nonce: nonce, timestamp: ts,
                              owner: holder.publicKey, prev: prev, pol: Data("pol".utf8), meta: Data("m".utf8), hdr2: 9)
  let f = try FrameFields(parsing: frame + Data([0xEE, 0xEE]))
  #expect(frame.count == 216 + 3 + 1 + size && f.frameLength == frame.count)
  #expect([f.alg, f.hdr2, f.hdr3] == [cipher.rawValue, 9, 0] && f.nonce == nonce && f.timestamp == ts)
  #expect(f.author == author.publicKey && f.owner == holder.publicKey && f.prev == prev)
  #expect(f.pol == Data("pol".utf8) && f.meta == Data("m".utf8) && f.ciphertext.count == size)
  let report = try verify(frame: frame)
  #expect(try frameID(frame + Data([1])) == cid && report.cid == cid && report.valid)
  #expect(try !verify(frame: flipped(frame, at: frame.count - 1)).valid)
  #expect(try open(frame: frame, key: dataKey) == payload)
}

@Test func keysTokensEventsPhrasesAndIndexes() throws {
  let message = Data("message".utf8), sig = try author.sign(message)
  try author.publicKey.verify(signature: sig, for: message)
  #expect(kind { try author.publicKey.verify(signature: sig, for: message + Data([0])) } == .signatureInvalid)

  let token = try grant(ContentID.zero)
  #expect(try CapabilityToken(decoding: token.data + Data([7])) == token && token.data.count == 180)
  #expect(token.issuer == author.publicKey && token.expiry == 5000 && token.rights == [.readRaw, .readFeatures])
  try token.verify(presenter: holder.publicKey)
  #expect(kind { try token.verify(presenter: stranger.publicKey) } == .capabilityInvalid)
  #expect(kind { try CapabilityToken(decoding: token.data.prefix(179)) } == .capabilityInvalid)

  let t = try FrameFields(parsing: transferTemplate(prev: token.scope, newOwner: holder.publicKey))
  #expect(t.frameLength == 216 && t.owner == holder.publicKey && t.prev == .zero && t.alg == 2)

  for kindOfEvent in EventKind.allCases {
    let a = try sealEvent(kindOfEvent, scope: token.scope, rights: .licenseGrant, expiry: 9, peer: holder.publicKey,
                          key: dataKey, signer: author)
    let b = try sealEvent(kindOfEvent, scope: token.scope, rights: .licenseGrant, expiry: 9, peer: holder.publicKey,
                          key: dataKey, signer: author)
    #expect(try a == b && verify(frame: a.frame).valid && open(frame: a.frame, key: dataKey).isEmpty)
  }

  let phrase = try generatePhrase(words: 24), (k1, s1) = try restoreKeys(phrase: phrase)
  #expect(try phrase.split(separator: " ").count == 24 && restoreKeys(phrase: phrase) == (k1, s1) && k1.count == 32)
  #expect(kind { try generatePhrase(words: 13) } == .invalidFormat)

  let ix = try blindIndex(key: dataKey, term: Data("alice".utf8))
  #expect(try ix.count == 32 && ix != blindIndex(key: dataKey, term: Data("alicf".utf8)))
}

@Test func openingRefusals() throws {
  let payload = Data("secret".utf8)
  let (frame, cid) = try seal(payload, key: dataKey, signer: author, meta: guarded.meta)
  let open = try seal(payload, key: dataKey, signer: author).frame
  #expect(try Policy(meta: FrameFields(parsing: frame).meta) == guarded)
  let good = try grant(cid)
  let badSig = try CapabilityToken(decoding: flipped(good.data, at: 179))
  let cases: [(String, () throws -> Data, TessellaError.Kind?)] = [
    ("holder", { try Tessella.open(frame: frame, key: dataKey, capability: good, presenter: holder.publicKey, now: 5000) }, nil),
    ("no token", { try Tessella.open(frame: frame, key: dataKey, presenter: holder.publicKey) }, .capabilityInvalid),
    ("wrong holder", { try Tessella.open(frame: frame, key: dataKey, capability: good, presenter: stranger.publicKey) }, .capabilityInvalid),
    ("expired", { try Tessella.open(frame: frame, key: dataKey, capability: good, presenter: holder.publicKey, now: 5001) }, .capabilityInvalid),
    ("bad token signature", { try Tessella.open(frame: frame, key: dataKey, capability: badSig, presenter: holder.publicKey) }, .signatureInvalid),
    ("missing right", { try Tessella.open(frame: frame, key: dataKey, capability: try grant(cid, .readFeatures), presenter: holder.publicKey) }, .policyViolation),
    ("altered guarded frame", { try Tessella.open(frame: flipped(frame, at: frame.count - 70), key: dataKey, capability: good, presenter: holder.publicKey) }, .policyViolation),
    ("wrong key", { try Tessella.open(frame: open, key: Data(repeating: 0, count: 32)) }, .aeadTagMismatch),
    ("short key", { try Tessella.open(frame: open, key: dataKey.prefix(31)) }, .keyUnavailable),
  ]
  for (name, attempt, expected) in cases {
    var opened: Data?
    #expect(kind { opened = try attempt(); return opened! } == expected, "\(name)")
    #expect(expected != nil || opened == payload, "\(name)")
  }
}

@Test func errorText() throws {
  let (frame, _) = try seal(Data(), key: dataKey, signer: author, meta: guarded.meta)
  for (attempt, detail, text) in [({ try open(frame: frame, key: dataKey) }, nil, "capability required or invalid"),
                                  ({ try open(frame: frame.prefix(100), key: dataKey) }, "too short",
                                   "invalid frame format: too short")] as [(() throws -> Data, String?, String)] {
    do { _ = try attempt(); Issue.record("\(text): no error") } catch let e as TessellaError {
      #expect(e.detail == detail && e.description == text)
    }
  }
}

@Test func rightsText() throws {
  for (rights, text) in [(Rights(), ""), ([.readFeatures, .computeUse], "READ_FEATURES | COMPUTE_USE"),
                         ([.licenseGrant, Rights(rawValue: 0x40)], "LICENSE_GRANT | 0x40")] as [(Rights, String)] {
    #expect(rights.description == text)
    #expect(try Rights(parsing: " " + text.replacingOccurrences(of: " | ", with: "|") + " ") == rights)
  }
  for (text, failure) in [("READ_RAW |", Rights.ParseError.emptyFlag), ("WRITE", .invalidNamedFlag), ("0xZZ", .invalidHexFlag)] {
    #expect(throws: failure) { try Rights(parsing: text) }
  }
}

@Test func wrongLengthsRefusedAtTheBoundary() {
  let attempts: [(String, () throws -> Any)] = [
    ("ContentID", { try ContentID(Data(count: 31)) }), ("PublicKey", { try PublicKey(Data(count: 33)) }),
    ("Timestamp", { try Timestamp(Data(count: 15)) }),
    ("Signature", { try author.publicKey.verify(signature: Data(count: 63), for: Data()) }),
  ]
  for (name, attempt) in attempts {
    #expect(throws: TessellaError.self) {
      do { _ = try attempt() } catch let e as TessellaError {
        #expect(e.kind == .invalidFormat && e.detail?.hasPrefix(name + " needs") == true, "\(name)")
        throw e
      }
    }
  }
}

@Test func roadExampleRuns() throws {
  let dir = URL(fileURLWithPath: CommandLine.arguments[0]).deletingLastPathComponent()
  let run = Process(), out = Pipe()
  (run.executableURL, run.standardOutput) = (dir.appendingPathComponent("tessella-road"), out)
  try run.run()
  let text = String(decoding: out.fileHandleForReading.readDataToEndOfFile(), as: UTF8.self)
  run.waitUntilExit()
  #expect(run.terminationStatus == 0 && text.split(separator: "\n").filter { $0.hasPrefix("ok ") }.count == 5, "\(text)")
}

@Test(.enabled(if: ProcessInfo.processInfo.environment["TESSELLA_TOOL"] != nil))
func interopWithTheTool() throws {
  let tool = ProcessInfo.processInfo.environment["TESSELLA_TOOL"]!
  let dir = FileManager.default.temporaryDirectory.appendingPathComponent("tessella-swift-\(UUID())")
  try FileManager.default.createDirectory(at: dir, withIntermediateDirectories: true)
  defer { try? FileManager.default.removeItem(at: dir) }
  func file(_ name: String, _ bytes: Data? = nil) throws -> String {
    try bytes?.write(to: dir.appendingPathComponent(name)); return dir.appendingPathComponent(name).path
  }
  func run(_ args: String...) throws -> (Int32, Data) {
    let p = Process(), out = Pipe()
    (p.executableURL, p.arguments, p.standardOutput) = (URL(fileURLWithPath: tool), args, out)
    try p.run()
    let data = out.fileHandleForReading.readDataToEndOfFile()
    p.waitUntilExit()
    return (p.terminationStatus, data)
  }
  let payload = Data("from one side to the other".utf8), key = try file("data.key", dataKey)
  let seed = try file("author.seed", Data(repeating: 1, count: 32))
  let (frame, cid) = try seal(payload, key: dataKey, signer: author, cipher: .aes256gcm, meta: guarded.meta)
  let swiftFrame = try file("swift.frame", frame), cap = try file("holder.cap", try grant(cid).data)
  #expect(try run("verify", "--in", swiftFrame, "--expect-author", author.publicKey.description).0 == 0)
  let opened = try run("open", "--in", swiftFrame, "--key", key, "--cap", cap, "--presenter",
                       holder.publicKey.description, "--now", "4000", "--out", "-")
  #expect(opened == (0, payload))

  let toolFrame = try file("tool.frame"), input = try file("payload.bin", payload)
  #expect(try run("seal", "--in", input, "--out", toolFrame, "--key", key, "--signing-seed", seed,
                  "--require-cap", "--allowed-ops", "READ_RAW").0 == 0)
  let sealed = try Data(contentsOf: URL(fileURLWithPath: toolFrame)), id = try frameID(sealed)
  let report = try verify(frame: sealed)
  #expect(report.valid && report.cid == id)
  #expect(try Policy(meta: FrameFields(parsing: sealed).meta) == guarded)
  #expect(try open(frame: sealed, key: dataKey, capability: grant(id), presenter: holder.publicKey, now: 4000) == payload)
}
