import Foundation
import Testing
@testable import Tessella

/// Sealing and opening through mapped files give the bytes the in-memory calls give; a refused
/// opening leaves neither output nor temporary file; plaintext files are 0600.
@Test(arguments: [0, 3 << 20])
func mappedFilesMatchMemory(size: Int) throws {
  let dir = FileManager.default.temporaryDirectory.appendingPathComponent("tessella-files-\(UUID())")
  try FileManager.default.createDirectory(at: dir, withIntermediateDirectories: true)
  defer { try? FileManager.default.removeItem(at: dir) }
  let (input, sealed, opened) = (dir.appendingPathComponent("in"), dir.appendingPathComponent("frame"), dir.appendingPathComponent("out"))
  let plain = Data((0..<size).map { UInt8(truncatingIfNeeded: $0 &* 31 &+ $0 >> 11) })
  try plain.write(to: input)
  var envelope = Frame.Envelope()
  envelope.nonce = fixedNonce
  let id = try Frame.seal(contentsOf: input, to: sealed, using: key, signedBy: author, policy: guarded, envelope: envelope)
  let memory = try Frame.seal(plain, using: key, signedBy: author, policy: guarded, envelope: envelope)
  let frame = try Frame(mappingFileAt: sealed)
  #expect(try id == memory.id && frame == memory && Data(contentsOf: sealed) == memory.rawRepresentation)
  try frame.verify(author: author.publicKey)
  try frame.open(using: key, to: opened, capability: token(id), presentedBy: holder.publicKey)
  #expect(try Data(contentsOf: opened) == plain)
  #expect((try FileManager.default.attributesOfItem(atPath: opened.path)[.posixPermissions] as? Int) == 0o600)

  try FileManager.default.removeItem(at: opened)
  let tampered = try Frame(rawRepresentation: flipped(memory.rawRepresentation, at: memory.rawRepresentation.count - 70))
  let refusals: [(String, () throws -> Void)] = [
    ("tampered", { try tampered.open(using: key, to: opened, capability: token(tampered.id), presentedBy: holder.publicKey) }),
    ("no token", { try frame.open(using: key, to: opened) }),
  ]
  for (name, attempt) in refusals {
    #expect(failure(attempt) != nil, "\(name)")
    #expect(try FileManager.default.contentsOfDirectory(atPath: dir.path).sorted() == ["frame", "in"], "\(name)")
  }
  let huge = dir.appendingPathComponent("4GiB")  // sparse: no disk or memory used
  #expect(FileManager.default.createFile(atPath: huge.path, contents: nil))
  try FileHandle(forWritingTo: huge).truncate(atOffset: 1 << 32)
  let tooLong = failure { try Frame.seal(contentsOf: huge, to: opened, using: key, signedBy: author) }
  #expect(tooLong?.detail == "payload too long" && !FileManager.default.fileExists(atPath: opened.path))
  let missing = failure { try Frame(mappingFileAt: dir.appendingPathComponent("none")) }
  #expect(missing?.kind == .file && missing?.detail?.contains("none") == true)
}

/// The example runs every step, and the README's Swift section shows it as written.
@Test func exampleRunsAndReadmeShowsIt() throws {
  let root = URL(fileURLWithPath: #filePath).deletingLastPathComponent().deletingLastPathComponent().deletingLastPathComponent()
  let example = try String(contentsOf: root.appendingPathComponent("examples/swift/main.swift"), encoding: .utf8)
  let readme = try String(contentsOf: root.appendingPathComponent("README.md"), encoding: .utf8)
  #expect(readme.contains("```swift\n" + example + "```\n"), "README.md shows examples/swift/main.swift")
  let run = Process(), out = Pipe()
  let dir = URL(fileURLWithPath: CommandLine.arguments[0]).deletingLastPathComponent()
  (run.executableURL, run.standardOutput) = (dir.appendingPathComponent("tessella-road"), out)
  try run.run()
  let text = String(decoding: out.fileHandleForReading.readDataToEndOfFile(), as: UTF8.self)
  run.waitUntilExit()
  #expect(run.terminationStatus == 0 && text.split(separator: "\n").filter { $0.hasPrefix("ok ") }.count == 8, "\(text)")
}
