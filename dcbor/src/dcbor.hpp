// dcbor.hpp: deterministic CBOR in one include: values, decoder, encoder, errors, NFC.
#pragma once

#include "cbor_error.hpp"
#include "decode.hpp"
#include "encode.hpp"
#include "nfc.hpp"
#include "utf8.hpp"
#include "value.hpp"
