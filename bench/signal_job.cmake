# signal_job is a plain program over the signal and file libraries only.
set_property(TARGET signal_job PROPERTY LINK_LIBRARIES audio analysis dsp runtime)
