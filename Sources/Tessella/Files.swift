internal import CTessella
import Foundation
#if canImport(Glibc)
internal import Glibc
#elseif canImport(Musl)
internal import Musl
#elseif canImport(Darwin)
internal import Darwin
#endif

// Frames and payloads in files, through memory-mapped data: the kernel pages the bytes in and
// out, so a payload of gigabytes needs no gigabytes of anonymous memory. Outputs are written
// into a mapped temporary file beside the target (created 0600) and renamed into place; a failed
// operation leaves neither the output nor the temporary file behind.

func fileError(_ what: String, _ url: URL) -> TessellaError {
  TessellaError(.file, "\(what) \(url.path): \(String(cString: strerror(errno)))")
}

/// A file mapped read-only: its bytes as `Data` that unmaps the file when released.
func mapFile(_ url: URL) throws(TessellaError) -> Data {
  let fd = open(url.path, O_RDONLY)
  guard fd >= 0 else { throw fileError("cannot open", url) }
  defer { close(fd) }
  var st = stat()
  guard fstat(fd, &st) == 0 else { throw fileError("cannot read", url) }
  guard (st.st_mode & S_IFMT) == S_IFREG else { throw TessellaError(.file, "\(url.path) is not a regular file") }
  let size = Int(st.st_size)
  if size == 0 { return Data() }
  guard let p = mmap(nil, size, PROT_READ, MAP_PRIVATE, fd, 0), p != MAP_FAILED else { throw fileError("cannot map", url) }
  return Data(bytesNoCopy: p, count: size, deallocator: .custom { p, n in munmap(p, n) })
}

/// Writes `length` bytes produced by `fill` into `target` through a mapped temporary file beside
/// it, renamed into place only when `fill` succeeds.
func writeMapped(_ target: URL, length: Int, _ fill: (UnsafeMutablePointer<UInt8>, Int) throws(TessellaError) -> Void) throws(TessellaError) {
  let dir = target.deletingLastPathComponent().path
  var template = Array("\(dir)/.\(target.lastPathComponent).tessella-XXXXXX".utf8CString)
  let fd = template.withUnsafeMutableBufferPointer { mkstemp($0.baseAddress!) }  // mode 0600
  guard fd >= 0 else { throw fileError("cannot create a temporary file in", target.deletingLastPathComponent()) }
  let temp = String(decoding: template.dropLast().map { UInt8(bitPattern: $0) }, as: UTF8.self)
  var done = false
  defer {
    close(fd)
    if !done { unlink(temp) }
  }
  guard ftruncate(fd, off_t(length)) == 0 else { throw fileError("cannot size", URL(fileURLWithPath: temp)) }
  if length == 0 {
    var none: UInt8 = 0
    try fill(&none, 0)
  } else {
    guard let p = mmap(nil, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0), p != MAP_FAILED else {
      throw fileError("cannot map", URL(fileURLWithPath: temp))
    }
    defer { munmap(p, length) }
    try fill(p.assumingMemoryBound(to: UInt8.self), length)
    guard msync(p, length, MS_SYNC) == 0 else { throw fileError("cannot write", URL(fileURLWithPath: temp)) }
  }
  guard rename(temp, target.path) == 0 else { throw fileError("cannot rename a temporary file to", target) }
  done = true
}

extension Frame {
  /// Maps a frame file and parses it; the frame's bytes stay in the file's pages.
  ///
  /// A mapped file must not be shortened by another process while it is in use: reading a page
  /// past its new end raises SIGBUS in the host process. The same holds for the file-URL forms
  /// of sealing, opening and verifying below.
  public init(mappingFileAt url: URL) throws(TessellaError) {
    try self.init(wire: mapFile(url))
  }

  /// Seals the file at `input` into a frame written to `output` (replaced when it exists), both
  /// through mapped memory. Returns the frame's identifier. A payload of 4 GiB or more is
  /// refused before any work ("payload too long").
  @discardableResult
  public static func seal(contentsOf input: URL, to output: URL, using key: DataKey, signedBy signer: SigningKey,
                          policy: Policy? = nil, envelope: Envelope = Envelope()) throws(TessellaError) -> ContentID {
    var env = envelope
    if let policy { env.meta = policy.meta }
    let ts = try env.timestamp.map { t throws(TessellaError) in try exactBytes(t, 16, "timestamp") } ?? [UInt8](repeating: 0, count: 16)
    let payload = try mapFile(input)
    var length = 0
    try check { tessella_sealed_len(env.pol.count, env.meta.count, payload.count, &length, $0) }
    var cid = [UInt8](repeating: 0, count: 32)
    let author = signer.publicKey.bytes, owner = (env.owner ?? signer.publicKey).bytes
    try writeMapped(output, length: length) { out, cap throws(TessellaError) in
      try withBytes(payload) { pt throws(TessellaError) in
        try withBytes(env.pol) { pol throws(TessellaError) in
          try withBytes(env.meta) { meta throws(TessellaError) in
            var written = 0
            try check { err in
              withOptionalBytes(env.nonce?.bytes) { nonce in
                tessella_seal_bytes_into(env.cipher.rawValue, env.hdr2, env.hdr3, nonce, ts, author, owner,
                                         env.previous.bytes, pol.baseAddress, pol.count, meta.baseAddress, meta.count,
                                         pt.baseAddress, pt.count, key.storage.base, key.storage.count, signer.handle,
                                         out, cap, &written, &cid, err)
              }
            }
          }
        }
      }
    }
    return ContentID(unchecked: cid)
  }

  /// Opens the frame as ``open(using:capability:presentedBy:trusting:expiry:)`` does and writes
  /// the plaintext to `output` (created 0600, replaced when it exists) through mapped memory.
  /// When opening fails, neither `output` nor a temporary file is left.
  public func open(using key: DataKey, to output: URL, capability: CapabilityToken? = nil,
                   presentedBy presenter: PublicKey? = nil, trusting issuers: TrustedIssuers = .owner,
                   expiry: ExpiryCheck = .now) throws(TessellaError) {
    try writeMapped(output, length: layout.ciphertext.count) { out, cap throws(TessellaError) in
      try withOpenArguments(capability, presenter, issuers, expiry) { tok, pres, now, trust throws(TessellaError) in
        try withBytes(rawRepresentation) { f throws(TessellaError) in
          var written = 0
          try check { err in
            trust == nil
              ? tessella_open_bytes_into(f.baseAddress, f.count, key.storage.base, key.storage.count, tok,
                                         tok == nil ? 0 : 180, pres, now, out, cap, &written, err)
              : tessella_open_bytes_trusted_into(f.baseAddress, f.count, key.storage.base, key.storage.count, tok,
                                                 tok == nil ? 0 : 180, pres, now, trust, out, cap, &written, err)
          }
        }
      }
    }
  }
}
