@echo off
rem Renders current.pdf into black and white page images in the folder current, then removes current.pdf.
quarnel-bw current.pdf current
del current.pdf
