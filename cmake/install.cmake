# Installation rules and the package configuration.
