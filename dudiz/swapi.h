/* Export macro of the dudiz library: marks the public functions and globals of every module.
 * The library is built with hidden visibility, so exactly what carries SW_API is exported. */
#ifndef DUDIZ_SWAPI_H
#define DUDIZ_SWAPI_H

#if defined(__GNUC__)
#define SW_API __attribute__((visibility("default")))
#else
#define SW_API
#endif

#endif /* DUDIZ_SWAPI_H */
