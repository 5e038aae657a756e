// Loads the VS Code extension in editors/vscode as VS Code does (its
// package.json, the grammar through vscode-textmate with the Oniguruma
// regular expressions of vscode-oniguruma), tokenizes every sample script
// in samples/ and compares the scoped tokens with samples/<name>.scopes.
//
// Usage: node textmate_test.js          check every sample
//        node textmate_test.js --dump F print the scoped tokens of script F
'use strict';
const fs = require('fs');
const path = require('path');
const vsctm = require('vscode-textmate');
const oniguruma = require('vscode-oniguruma');

const extensionDir = path.join(__dirname, '..', '..', 'editors', 'vscode');
const samplesDir = path.join(__dirname, 'samples');

const failures = [];
function check(condition, message) {
    if (!condition) failures.push(message);
}

// The extension's manifest ties the language to *.z files, its
// configuration and the grammar; returns the grammar's scope name and path.
function readManifest() {
    const manifest = JSON.parse(fs.readFileSync(path.join(extensionDir, 'package.json'), 'utf8'));
    const language = (manifest.contributes.languages || []).find((l) => l.id === 'zorvik');
    const grammar = (manifest.contributes.grammars || []).find((g) => g.language === 'zorvik');
    check(language && language.extensions.includes('.z'), 'package.json: language zorvik for *.z files');
    check(grammar, 'package.json: a grammar for the language zorvik');
    const config = JSON.parse(fs.readFileSync(path.join(extensionDir, language.configuration), 'utf8'));
    check(config.comments.lineComment === '//', 'language configuration: line comment //');
    check(JSON.stringify(config.comments.blockComment) === '["/*","*/"]', 'language configuration: block comment /* */');
    for (const pair of ['{}', '[]', '()']) {
        check(config.brackets.some((b) => b[0] === pair[0] && b[1] === pair[1]), `language configuration: bracket ${pair}`);
        check(config.autoClosingPairs.some((p) => p.open === pair[0] && p.close === pair[1]), `auto-closing ${pair}`);
    }
    const quote = config.autoClosingPairs.find((p) => p.open === '"');
    check(quote && quote.close === '"' && quote.notIn.includes('string'), 'auto-closing " outside strings');
    return { scopeName: grammar.scopeName, file: path.join(extensionDir, grammar.path) };
}

async function loadGrammar({ scopeName, file }) {
    const wasm = fs.readFileSync(require.resolve('vscode-oniguruma/release/onig.wasm')).buffer;
    await oniguruma.loadWASM(wasm);
    const registry = new vsctm.Registry({
        onigLib: Promise.resolve({
            createOnigScanner: (patterns) => new oniguruma.OnigScanner(patterns),
            createOnigString: (text) => new oniguruma.OnigString(text),
        }),
        loadGrammar: async (name) =>
            name === scopeName ? vsctm.parseRawGrammar(fs.readFileSync(file, 'utf8'), file) : null,
    });
    return registry.loadGrammar(scopeName);
}

// Every token that carries a scope beyond the file's own, as
// "line<TAB>text<TAB>innermost scope" with the ".zorvik" suffix left out.
// Blanks outside strings and comments are left out too.
function scopedTokens(grammar, text) {
    const out = [];
    let state = vsctm.INITIAL;
    text.split('\n').forEach((line, i) => {
        const result = grammar.tokenizeLine(line, state);
        for (const token of result.tokens) {
            const innermost = token.scopes[token.scopes.length - 1];
            const part = line.substring(token.startIndex, token.endIndex);
            if (token.scopes.length === 1) continue;
            if (part.trim() === '' && !/^(string|comment)/.test(innermost)) continue;
            out.push(`${i + 1}\t${part}\t${innermost.replace(/\.zorvik$/, '')}`);
        }
        state = result.ruleStack;
    });
    return out;
}

function readExpected(file) {
    return fs
        .readFileSync(file, 'utf8')
        .split('\n')
        .filter((line) => line !== '' && !line.startsWith('#'));
}

async function main() {
    const grammar = await loadGrammar(readManifest());
    if (process.argv[2] === '--dump') {
        for (const line of scopedTokens(grammar, fs.readFileSync(process.argv[3], 'utf8'))) console.log(line);
        return 0;
    }
    const samples = fs.readdirSync(samplesDir).filter((f) => f.endsWith('.z'));
    check(samples.length > 0, 'no sample scripts');
    for (const sample of samples) {
        const actual = scopedTokens(grammar, fs.readFileSync(path.join(samplesDir, sample), 'utf8'));
        const expected = readExpected(path.join(samplesDir, sample.replace(/\.z$/, '.scopes')));
        const n = Math.max(actual.length, expected.length);
        for (let i = 0; i < n; ++i) {
            if (actual[i] !== expected[i]) {
                failures.push(`${sample}: token ${i + 1}: expected [${expected[i]}], got [${actual[i]}]`);
                break;
            }
        }
        console.log(`${sample}: ${actual.length} scoped tokens`);
    }
    for (const f of failures) console.log(`FAIL: ${f}`);
    console.log(`textmate grammar: ${failures.length === 0 ? 'ok' : 'FAILED'}`);
    return failures.length === 0 ? 0 : 1;
}

main().then(
    (status) => process.exit(status),
    (error) => {
        console.log(`FAIL: ${error.stack || error}`);
        process.exit(1);
    },
);
