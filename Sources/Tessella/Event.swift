internal import CTessella
import Foundation

/// A domain event about a frame: its ownership passed on, it was read, or a licence was granted.
/// Sealed, it becomes a signed frame whose meta section is the event document and whose payload
/// is empty; it opens with the data key alone.
public struct Event: Hashable, Sendable, Codable {
  /// What happened.
  public enum Kind: Int32, Hashable, Sendable, Codable, CaseIterable {
    /// The frame's ownership passed to ``Event/peer``.
    case ownershipTransfer = 0
    /// ``Event/peer`` read the frame.
    case read = 1
    /// ``Event/peer`` was granted a licence.
    case licenseGrant = 2
  }

  /// What happened.
  public var kind: Kind
  /// The frame the event is about.
  public var scope: ContentID
  /// The rights involved.
  public var rights: Rights
  /// Until when (whole seconds since 1970 on the wire).
  public var expiry: Date
  /// The other party.
  public var peer: PublicKey

  /// An event.
  public init(_ kind: Kind, scope: ContentID, rights: Rights, expiry: Date, peer: PublicKey) {
    (self.kind, self.scope, self.rights, self.expiry, self.peer) = (kind, scope, rights, expiry, peer)
  }

  /// Seals the event as a frame signed by `signer`. Its nonce is derived from the key and the
  /// frame, so the same event seals to the same bytes.
  public func sealed(using key: DataKey, signedBy signer: SigningKey, cipher: Cipher = .chaChaPoly,
                     owner: PublicKey? = nil, previous: ContentID = .zero) throws(TessellaError) -> Frame {
    var buf = tessella_buf(data: nil, len: 0)
    var cid = [UInt8](repeating: 0, count: 32)
    let exp = try wireSeconds(expiry, "expiry")
    try check {
      tessella_seal_event(cipher.rawValue, signer.publicKey.bytes, (owner ?? signer.publicKey).bytes, previous.bytes,
                          kind.rawValue, scope.bytes, rights.rawValue, exp, peer.bytes, key.storage.base,
                          key.storage.count, signer.handle, &buf, &cid, $0)
    }
    return try Frame(wire: adopt(buf))
  }
}
