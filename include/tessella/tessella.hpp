/// @file
/// The public C++ API of tessella.
#ifndef TESSELLA_TESSELLA_HPP
#define TESSELLA_TESSELLA_HPP

#include "tessella/aead.hpp"
#include "tessella/capabilities.hpp"
#include "tessella/cid.hpp"
#include "tessella/error.hpp"
#include "tessella/events.hpp"
#include "tessella/frame.hpp"
#include "tessella/kdf.hpp"
#include "tessella/mnemonic.hpp"
#include "tessella/nonce.hpp"
#include "tessella/policy.hpp"
#include "tessella/rights.hpp"
#include "tessella/search.hpp"
#include "tessella/secret.hpp"
#include "tessella/sign.hpp"
#include "tessella/types.hpp"
#include "tessella/tessella.h"

#endif
