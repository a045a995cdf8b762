// A plain model of the format engine that the tests compare it with.
#pragma once

#include "Format.h"

// Renders exactly as RenderFormat must: same arguments, same bytes written,
// same result.
UINTN ReferenceRenderFormat(VOID *Buffer, UINTN BufferSize, UINTN Flags, CONST VOID *Format, ArgumentList Arguments);
