import Foundation
import Testing
@testable import Tessella

let key = try! DataKey(bytes: [UInt8](repeating: 0x42, count: 32))
let author = try! SigningKey(seed: SigningSeed(bytes: [UInt8](repeating: 1, count: 32)))
let holder = try! SigningKey(seed: SigningSeed(bytes: [UInt8](repeating: 2, count: 32)))
let third = try! SigningKey(seed: SigningSeed(bytes: [UInt8](repeating: 3, count: 32)))
let guarded = Policy(requireCapability: true, allowedOps: .readRaw)
let payload = Data("the payload".utf8)
let fixedNonce = try! Nonce(hex: "000102030405060708090a0b")
let inAnHour = Date().addingTimeInterval(3600), anHourAgo = Date().addingTimeInterval(-3600)

/// The error `body` throws, or nil.
func failure<T>(_ body: () throws -> T) -> TessellaError? {
  do { _ = try body(); return nil } catch let error as TessellaError { return error } catch {
    Issue.record("not a TessellaError: \(error)")
    return nil
  }
}

func flipped(_ data: Data, at index: Int, mask: UInt8 = 1) -> Data {
  var d = data
  d[d.startIndex + index] ^= mask
  return d
}

func token(_ scope: ContentID, by issuer: SigningKey = author, rights: Rights = [.readRaw, .readFeatures],
           expiry: Date = inAnHour, to holding: SigningKey = holder) throws -> CapabilityToken {
  try CapabilityToken(issuer: issuer, scope: scope, rights: rights, expiry: expiry, holder: holding.publicKey)
}
