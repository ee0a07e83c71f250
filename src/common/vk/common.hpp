// The common layer every extension module includes: binding plumbing only, one header per concern.
//
//   names.hpp        interned names, imported modules and attributes
//   call.hpp         calls on vectorcall; lookup.hpp: dictionary lookups
//   checks.hpp       argument checks with one message format
//   errors.hpp       the C++-to-Python exception translator, errors a caller reports and goes on from
//   arguments.hpp    parameter lists: parsing, binding, reading arguments by name
//   definitions.hpp  functions, methods and static methods installed from Defs
//   classes.hpp      classes built from C++ (abc.ABC subclasses, plain classes)
//   module.hpp       torch.nn.Module subclasses and fast reads of their submodules
//   context.hpp      `with` blocks held for a C++ scope
//   report.hpp       printed reports; progress.hpp: progress bars
//   host_tensor.hpp  host views of tensors; arrays.hpp: numpy arrays
//
// Domain code several modules share (npy reading, the corpus, the training pass, scoring, audio
// features) lives beside it, in src/common/vkdomain/.
#pragma once

#include "arguments.hpp"
#include "arrays.hpp"
#include "call.hpp"
#include "checks.hpp"
#include "classes.hpp"
#include "context.hpp"
#include "definitions.hpp"
#include "errors.hpp"
#include "host_tensor.hpp"
#include "lookup.hpp"
#include "module.hpp"
#include "names.hpp"
#include "progress.hpp"
#include "report.hpp"
