# The plugin, for runs from the source tree where it is not installed; when it
# is, this finds it already loaded under the same name.
pytest_plugins = ("vantis_sim.pytest_plugin",)
