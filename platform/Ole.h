// OLE data types, one header each under platform/ole/: the task allocator (TaskMemory.h),
// BSTR (Bstr.h), the UTF-8 / UTF-16 conversions used at COM boundaries (TextConversion.h),
// VARIANT and SAFEARRAY (Variant.h), HGLOBAL memory blocks (GlobalMemory.h) and IDataObject
// with its FORMATETC and STGMEDIUM records (DataObject.h), the format enumerator
// (EnumFormatEtc.h) and the registered clipboard formats (ClipboardFormats.h).
//
// Names, values and contracts are those of the Windows API, so that product code that builds
// VARIANT row arrays, hands out item identifiers or fills clipboard blocks reads as it would
// on Windows. Where Linux has to choose, the choice is written next to the declaration.
#pragma once

#include "platform/ole/Bstr.h"
#include "platform/ole/ClipboardFormats.h"
#include "platform/ole/DataObject.h"
#include "platform/ole/EnumFormatEtc.h"
#include "platform/ole/GlobalMemory.h"
#include "platform/ole/Stream.h"
#include "platform/ole/TaskMemory.h"
#include "platform/ole/TextConversion.h"
#include "platform/ole/Variant.h"
