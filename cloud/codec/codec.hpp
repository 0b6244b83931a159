#pragma once

// Everything of the wire-format codec in one include.

#include "cloud/codec/adbs.hpp"
#include "cloud/codec/base64.hpp"
#include "cloud/codec/dataset.hpp"
#include "cloud/codec/dataset_list.hpp"
#include "cloud/codec/error.hpp"
#include "cloud/codec/print.hpp"
#include "cloud/codec/zlib.hpp"
