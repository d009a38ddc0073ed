/* Export and calling-convention macros shared by the C and C++ headers of wsr37100. */
#ifndef WSR37100_EXPORT_H
#define WSR37100_EXPORT_H

#if defined(_WIN32)
#  if defined(WSR37100_BUILDING)
#    define WSR37100_API __declspec(dllexport)
#  elif defined(WSR37100_STATIC)
#    define WSR37100_API
#  else
#    define WSR37100_API __declspec(dllimport)
#  endif
   /* 32-bit Windows hosts (Object Pascal, VB6, C#) declare the entry points stdcall;
      on x86_64 the keyword is accepted and ignored. */
#  define WSR37100_CALL __stdcall
#else
#  define WSR37100_API __attribute__((visibility("default")))
#  define WSR37100_CALL
#endif

#endif
