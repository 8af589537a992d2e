import js from '@eslint/js';
import globals from 'globals';

export default [
    {ignores: ['node_modules/', 'build*/', '**/vendor/']},
    js.configs.recommended,
    {
        languageOptions: {ecmaVersion: 2022, sourceType: 'module'},
        linterOptions: {reportUnusedDisableDirectives: 'error'},
        rules: {
            // A caught error that is deliberately dropped says so with a comment, not a name.
            'no-unused-vars': ['error', {caughtErrors: 'none', ignoreRestSiblings: true}],
            eqeqeq: ['error', 'always', {null: 'ignore'}],
            'no-var': 'error',
            'prefer-const': 'error',
            'no-shadow': 'error',
            'no-implicit-coercion': ['error', {allow: ['!!']}],
            'no-return-assign': 'error',
            'no-throw-literal': 'error',
            'object-shorthand': 'error',
            'prefer-template': 'error',
        },
    },
    {files: ['web/js/**/*.js'], languageOptions: {globals: globals.browser}},
    {files: ['**/*.mjs'], languageOptions: {globals: globals.node}},
    // Functions handed to page.evaluate() run in the page.
    {files: ['tests/browser/**/*.mjs'], languageOptions: {globals: {...globals.node, ...globals.browser}}},
];
