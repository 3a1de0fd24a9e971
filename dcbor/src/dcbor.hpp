// dcbor.hpp: deterministic CBOR in one include: values, decoder, reader, encoder, errors, NFC.
#pragma once

#include "cbor_error.hpp"
#include "decode.hpp"
#include "encode.hpp"
#include "nfc.hpp"
#include "reader.hpp"
#include "utf8.hpp"
#include "value.hpp"
