'use strict';
// Loads the addon that `npm install` built in this directory.
module.exports = require('./build/Release/zorvan_proclist.node');
