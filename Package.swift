// swift-tools-version:6.0
// tessella as a Swift package. `swift build` compiles the C++ core from src/ and the vendored
// BLAKE3 (third_party/blake3) itself and links OpenSSL 3's libcrypto and libsodium, found
// through pkg-config; no CMake step, environment variable or linker flag is needed.
// Licence: Apache License 2.0 (LICENSE).
import PackageDescription

let blake3 = "third_party/blake3"

let package = Package(
  name: "Tessella",
  products: [
    .library(name: "Tessella", targets: ["Tessella"]),
    .executable(name: "tessella-road", targets: ["TessellaRoad"]),
  ],
  targets: [
    .systemLibrary(name: "COpenSSL", path: "Sources/COpenSSL", pkgConfig: "libcrypto",
                   providers: [.apt(["libssl-dev"]), .brew(["openssl@3"])]),
    .systemLibrary(name: "CSodium", path: "Sources/CSodium", pkgConfig: "libsodium",
                   providers: [.apt(["libsodium-dev"]), .brew(["libsodium"])]),
    // The official BLAKE3 C sources, unmodified; the wrappers in Sources/CBlake3 compile the
    // x86-64 assembly kernels or the NEON kernel, whichever the target has.
    .target(
      name: "CBlake3", path: ".",
      sources: ["\(blake3)/blake3.c", "\(blake3)/blake3_dispatch.c", "\(blake3)/blake3_portable.c",
                "Sources/CBlake3/sse2_x86-64_unix.S", "Sources/CBlake3/sse41_x86-64_unix.S",
                "Sources/CBlake3/avx2_x86-64_unix.S", "Sources/CBlake3/avx512_x86-64_unix.S",
                "Sources/CBlake3/neon.c"],
      publicHeadersPath: "Sources/CBlake3/include",
      cSettings: [.headerSearchPath(blake3),
                  .define("BLAKE3_NO_SSE2", .when(platforms: [.windows])),
                  .define("BLAKE3_NO_SSE41", .when(platforms: [.windows])),
                  .define("BLAKE3_NO_AVX2", .when(platforms: [.windows])),
                  .define("BLAKE3_NO_AVX512", .when(platforms: [.windows]))]),
    // The C++ core and its C ABI: the same sources as the CMake build.
    .target(
      name: "CTessella", dependencies: ["CBlake3", "COpenSSL", "CSodium"], path: ".",
      sources: ["src"],
      publicHeadersPath: "Sources/CTessella/include",
      cxxSettings: [.headerSearchPath("include"), .headerSearchPath("src"),
                    .headerSearchPath(blake3), .define("TESSELLA_BUILDING")]),
    .target(name: "Tessella", dependencies: ["CTessella"], path: "Sources/Tessella"),
    .executableTarget(name: "TessellaRoad", dependencies: ["Tessella"], path: "examples/swift"),
    .testTarget(name: "TessellaTests", dependencies: ["Tessella", "CTessella", "TessellaRoad"],
                path: "Tests/TessellaTests"),
  ],
  swiftLanguageModes: [.v6],
  cxxLanguageStandard: .cxx2b
)
