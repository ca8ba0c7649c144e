# FFTW (single precision) is only the comparator of fft_bench; the tool
# never links it.
pkg_check_modules(FFTW3F IMPORTED_TARGET fftw3f)
if(TARGET fft_bench AND TARGET PkgConfig::FFTW3F)
  target_compile_definitions(fft_bench PRIVATE TIMBRAL_HAVE_FFTW)
  target_link_libraries(fft_bench PRIVATE PkgConfig::FFTW3F)
endif()
