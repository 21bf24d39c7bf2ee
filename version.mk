# The kit's one version is PACKAGE_VERSION of dummy/dkms.conf, where DKMS reads it. The Makefile
# and debian/rules include this file to take it from there; debian/changelog has to follow it.
DUMMY_VERSION := $(shell sed -n 's/^PACKAGE_VERSION="*\([^"]*\)"*$$/\1/p' $(dir $(lastword $(MAKEFILE_LIST)))dummy/dkms.conf)
