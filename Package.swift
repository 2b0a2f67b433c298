// swift-tools-version:6.0
// The Swift package over tessella's C ABI. The library itself comes from an installed tessella
// found through pkg-config (PKG_CONFIG_PATH=<prefix>/lib/pkgconfig); see README.md, "Swift".
// Licence: Apache License 2.0 (LICENSE).
import PackageDescription

let package = Package(
  name: "Tessella",
  products: [
    .library(name: "Tessella", targets: ["Tessella"]),
    .executable(name: "tessella-road", targets: ["TessellaRoad"]),
  ],
  targets: [
    .systemLibrary(name: "CTessella", path: "Sources/CTessella", pkgConfig: "tessella"),
    .target(name: "Tessella", dependencies: ["CTessella"], path: "Sources/Tessella"),
    .executableTarget(name: "TessellaRoad", dependencies: ["Tessella"], path: "examples/swift"),
    .testTarget(name: "TessellaTests", dependencies: ["Tessella", "TessellaRoad"],
                path: "Tests/TessellaTests"),
  ]
)
