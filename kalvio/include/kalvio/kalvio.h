// The whole public interface of the Kalvio image library.
#pragma once

#include <kalvio/export.h>
#include <kalvio/version.h>
#include <kalvio/object.h>
#include <kalvio/message.h>
#include <kalvio/trace.h>
#include <kalvio/file.h>
#include <kalvio/arrays.h>
#include <kalvio/samples.h>
#include <kalvio/image.h>
#include <kalvio/formats.h>
#include <kalvio/gaussian.h>
#include <kalvio/colour.h>
#include <kalvio/dc.h>
#include <kalvio/dib.h>
#include <kalvio/histogram.h>
#include <kalvio/numeric.h>
#include <kalvio/volume.h>
#include <kalvio/video.h>
