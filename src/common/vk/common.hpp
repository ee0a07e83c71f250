// The common layer every extension module includes.
#pragma once

#include "args.hpp"
#include "call.hpp"
#include "functions.hpp"
#include "module.hpp"
#include "module_attr.hpp"
#include "names.hpp"
#include "report.hpp"
