/// @file
/// Rights: the set of permissions a capability grants, its text form and its parser.
#ifndef TESSELLA_RIGHTS_HPP
#define TESSELLA_RIGHTS_HPP

#include <array>
#include <cstdint>
#include <expected>
#include <iosfwd>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tessella/export.hpp"

namespace tessella {

/// ParseError: why a rights text was refused. Numbered as in the C ABI.
enum class ParseError : std::int32_t {
  EmptyFlag = 1,         ///< a piece between separators is empty
  InvalidNamedFlag = 2,  ///< a piece is not one of the five names
  InvalidHexFlag = 3,    ///< a "0x" piece is not a hexadecimal number below 2^32
};

struct NamedRight;

/// Rights is a set of permissions wrapping one 32-bit value. Every value is valid; bits without
/// a name ("unnamed bits") are kept by every operation except remove and difference.
class TESSELLA_API Rights {
 public:
  static const Rights READ_FEATURES;       ///< 0x1: read derived features
  static const Rights READ_RAW;            ///< 0x2: read the raw payload
  static const Rights TRANSFER_OWNERSHIP;  ///< 0x4: pass the frame to a new owner
  static const Rights LICENSE_GRANT;       ///< 0x8: grant licences on the frame
  static const Rights COMPUTE_USE;         ///< 0x10: compute over the payload
  /// The mask of the five named flags.
  static constexpr std::uint32_t kNamedMask = 0x1f;

  /// The empty set.
  constexpr Rights() noexcept = default;
  /// The empty set.
  static constexpr Rights empty() noexcept { return Rights(); }
  /// The set of exactly these bits, unnamed ones included.
  static constexpr Rights from_bits_retain(std::uint32_t bits) noexcept {
    Rights r;
    r.bits_ = bits;
    return r;
  }
  /// from_name matches one of the five names exactly (case-sensitive); nullopt otherwise.
  static std::optional<Rights> from_name(std::string_view name) noexcept;

  /// The 32-bit value.
  constexpr std::uint32_t bits() const noexcept { return bits_; }
  /// Whether no bit is set.
  constexpr bool is_empty() const noexcept { return bits_ == 0; }
  /// Whether every bit of `other` is set here.
  constexpr bool contains(Rights other) const noexcept { return (bits_ & other.bits_) == other.bits_; }
  /// Whether any bit of `other` is set here.
  constexpr bool intersects(Rights other) const noexcept { return (bits_ & other.bits_) != 0; }
  /// Sets the bits of `other`.
  constexpr void insert(Rights other) noexcept { bits_ |= other.bits_; }
  /// Clears the bits of `other`.
  constexpr void remove(Rights other) noexcept { bits_ &= ~other.bits_; }
  /// union_ is the set union (`union` is a C++ keyword).
  constexpr Rights union_(Rights other) const noexcept { return from_bits_retain(bits_ | other.bits_); }
  /// The bits set here and not in `other`.
  constexpr Rights difference(Rights other) const noexcept { return from_bits_retain(bits_ & ~other.bits_); }

  /// Union.
  constexpr Rights operator|(Rights o) const noexcept { return union_(o); }
  /// Intersection.
  constexpr Rights operator&(Rights o) const noexcept { return from_bits_retain(bits_ & o.bits_); }
  /// Difference.
  constexpr Rights operator-(Rights o) const noexcept { return difference(o); }
  /// Inserts `o`.
  constexpr Rights& operator|=(Rights o) noexcept { insert(o); return *this; }
  /// Equal when the 32-bit values are.
  friend constexpr bool operator==(Rights a, Rights b) noexcept = default;

  /// The flag table: names and values in their fixed order.
  static const std::array<NamedRight, 5>& table() noexcept;

  /// iter_names returns the named flags that are set, in table order.
  std::vector<NamedRight> iter_names() const;

  /// Iterating yields the set named flags in table order, then one value holding exactly the
  /// unnamed bits if any are set. The union of the yielded values is the iterated value.
  class Iterator {
   public:
    using value_type = Rights;               ///< What dereferencing yields.
    using difference_type = std::ptrdiff_t;  ///< As std::forward_iterator asks.
    /// The end iterator.
    Iterator() noexcept = default;
    /// The current value: one named flag, or the unnamed bits together.
    Rights operator*() const noexcept;
    /// @{
    /// Steps to the next value.
    Iterator& operator++() noexcept;
    Iterator operator++(int) noexcept { Iterator t = *this; ++*this; return t; }
    /// @}
    /// Equal when the same bits remain to be yielded.
    friend bool operator==(const Iterator& a, const Iterator& b) noexcept {
      return a.remaining_ == b.remaining_;
    }

   private:
    friend class Rights;
    explicit Iterator(std::uint32_t remaining) noexcept : remaining_(remaining) {}
    std::uint32_t remaining_ = 0;
  };
  /// @{
  /// Iteration over the values described for Iterator.
  Iterator begin() const noexcept { return Iterator(bits_); }
  Iterator end() const noexcept { return Iterator(0); }
  /// @}

  /// The display form: names joined by " | " in table order, then "0x" and the unnamed bits in
  /// lower-case hex; the empty text for 0.
  std::string to_string() const;
  /// Longest display form of any value, in bytes (every name, and eight hex digits).
  static constexpr std::size_t kMaxDisplayLen = 88;
  /// Writes the display form into `out` without allocating and returns its length (no NUL).
  std::size_t write_display(std::span<char, kMaxDisplayLen> out) const noexcept;
  /// The diagnostic form: "0x0" for 0, the display form otherwise.
  std::string to_diagnostic() const;
  /// parse reads the text form: pieces separated by "|", each trimmed of Unicode white space,
  /// each a name or "0x" and hex digits (below 2^32). Blank text is `empty`. The first failing
  /// piece from the left decides the ParseError. The text is UTF-8; malformed UTF-8 is never
  /// taken for white space.
  static std::expected<Rights, ParseError> parse(std::string_view text) noexcept;

 private:
  std::uint32_t bits_ = 0;
};

/// A named flag: its name and its single-bit value.
struct NamedRight {
  std::string_view name;  ///< "READ_FEATURES", ...
  Rights value;           ///< Its one bit.
};

inline constexpr Rights Rights::READ_FEATURES = Rights::from_bits_retain(0x1);
inline constexpr Rights Rights::READ_RAW = Rights::from_bits_retain(0x2);
inline constexpr Rights Rights::TRANSFER_OWNERSHIP = Rights::from_bits_retain(0x4);
inline constexpr Rights Rights::LICENSE_GRANT = Rights::from_bits_retain(0x8);
inline constexpr Rights Rights::COMPUTE_USE = Rights::from_bits_retain(0x10);

/// Writes the display form.
TESSELLA_API std::ostream& operator<<(std::ostream& os, Rights rights);

}  // namespace tessella

#endif
