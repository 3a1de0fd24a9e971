// dcbor.hpp: deterministic CBOR in one include: values, decoder, reader, encoder, errors, NFC.
#pragma once

#include <halyx/dcbor/cbor_error.hpp>
#include <halyx/dcbor/decode.hpp>
#include <halyx/dcbor/encode.hpp>
#include <halyx/dcbor/nfc.hpp>
#include <halyx/dcbor/reader.hpp>
#include <halyx/dcbor/utf8.hpp>
#include <halyx/dcbor/value.hpp>
