import CTessella
import Foundation
import Testing
@testable import Tessella

/// The Swift layer writes the same bytes as the C ABI called directly with the same inputs.
@Test func sameBytesAsTheCABI() throws {
  let seed = [UInt8](repeating: 1, count: 32), keyBytes = [UInt8](repeating: 0x42, count: 32)
  let zero = [UInt8](repeating: 0, count: 32), ts = [UInt8](repeating: 0, count: 16), meta = [UInt8](guarded.meta)
  let me = author.publicKey.bytes, scope = ContentID(hashing: payload).bytes, exp: UInt64 = 2_000_000_000
  let signer = tessella_signing_key_from_seed(seed)
  defer { tessella_signing_key_free(signer) }
  var frame = tessella_buf(), event = tessella_buf(), cid = [UInt8](repeating: 0, count: 32)
  var cap = [UInt8](repeating: 0, count: 180), index = [UInt8](repeating: 0, count: 32)
  #expect(tessella_seal_bytes(1, 0, 0, fixedNonce.bytes, ts, me, me, zero, nil, 0, meta, meta.count, [UInt8](payload),
                              payload.count, keyBytes, 32, signer, &frame, &cid, nil) == 0)
  #expect(tessella_cap_issue(seed, me, scope, 3, exp, holder.publicKey.bytes, &cap, nil) == 0)
  #expect(tessella_seal_event(2, me, me, scope, 1, scope, 3, exp, holder.publicKey.bytes, keyBytes, 32, signer,
                              &event, &cid, nil) == 0)
  #expect(tessella_blind_index(keyBytes, 32, [UInt8]("term".utf8), 4, &index, nil) == 0)
  var envelope = Frame.Envelope(cipher: .aesGCM)
  envelope.nonce = fixedNonce
  let when = Date(timeIntervalSince1970: TimeInterval(exp))
  #expect(try Frame.seal(payload, using: key, signedBy: author, policy: guarded, envelope: envelope).rawRepresentation == adopt(frame))
  #expect(try token(ContentID(hashing: payload), rights: [.readFeatures, .readRaw], expiry: when).rawRepresentation == Data(cap))
  #expect(try Event(.read, scope: ContentID(hashing: payload), rights: Rights(rawValue: 3), expiry: when, peer: holder.publicKey)
    .sealed(using: key, signedBy: author, previous: ContentID(hashing: payload)).rawRepresentation == adopt(event))
  #expect(try SearchToken(term: Data("term".utf8), key: key).rawRepresentation == Data(index))
}

/// Frames, tokens and events the command-line tool made from the same inputs are byte-identical
/// to the Swift layer's, and each side opens and verifies the other's (when TESSELLA_TOOL names
/// the tool).
@Test(.enabled(if: ProcessInfo.processInfo.environment["TESSELLA_TOOL"] != nil))
func sameBytesAsTheTool() throws {
  let dir = FileManager.default.temporaryDirectory.appendingPathComponent("tessella-swift-\(UUID())")
  try FileManager.default.createDirectory(at: dir, withIntermediateDirectories: true)
  defer { try? FileManager.default.removeItem(at: dir) }
  func path(_ name: String, _ bytes: Data? = nil) throws -> String {
    try bytes?.write(to: dir.appendingPathComponent(name))
    // The tool refuses secret files that others can read.
    if bytes != nil { try FileManager.default.setAttributes([.posixPermissions: 0o600], ofItemAtPath: dir.appendingPathComponent(name).path) }
    return dir.appendingPathComponent(name).path
  }
  func tool(_ args: String...) throws -> Data {
    let p = Process()
    (p.executableURL, p.arguments) = (URL(fileURLWithPath: ProcessInfo.processInfo.environment["TESSELLA_TOOL"]!), args)
    try p.run()
    p.waitUntilExit()
    #expect(p.terminationStatus == 0, "tessella \(args.joined(separator: " "))")
    return (try? Data(contentsOf: URL(fileURLWithPath: args[args.firstIndex(of: "--out")! + 1]))) ?? Data()
  }
  let keyFile = try path("data.key", Data(repeating: 0x42, count: 32)), seedFile = try path("author.seed", Data(repeating: 1, count: 32))
  let input = try path("payload", payload), exp = Date(timeIntervalSince1970: 2_000_000_000)
  var envelope = Frame.Envelope(cipher: .aesGCM)
  envelope.nonce = fixedNonce
  let frame = try Frame.seal(payload, using: key, signedBy: author, policy: guarded, envelope: envelope)
  let toolFrame = try tool("seal", "--in", input, "--out", try path("tool.frame"), "--key", keyFile, "--signing-seed", seedFile,
                           "--require-cap", "--allowed-ops", "READ_RAW", "--alg", "aes", "--nonce", fixedNonce.description)
  let grant = try token(frame.id, rights: .readRaw, expiry: exp)
  let toolToken = try tool("cap", "issue", "--issuer-seed", seedFile, "--scope", frame.id.description, "--rights", "READ_RAW",
                           "--exp", "2000000000", "--holder", holder.publicKey.description, "--out", try path("tool.cap"))
  let toolEvent = try tool("event", "--kind", "grant", "--key", keyFile, "--signing-seed", seedFile, "--scope", frame.id.description,
                           "--rights", "READ_RAW", "--exp", "2000000000", "--peer", holder.publicKey.description,
                           "--out", try path("tool.event"))
  #expect(toolFrame == frame.rawRepresentation && toolToken == grant.rawRepresentation)
  #expect(try toolEvent == Event(.licenseGrant, scope: frame.id, rights: .readRaw, expiry: exp, peer: holder.publicKey)
    .sealed(using: key, signedBy: author).rawRepresentation)
  let opened = try tool("open", "--in", try path("swift.frame", frame.rawRepresentation), "--key", keyFile,
                        "--cap", try path("swift.cap", grant.rawRepresentation), "--presenter", holder.publicKey.description,
                        "--now", "1900000000", "--any-issuer", "--out", try path("opened"))
  #expect(opened == payload)
}
